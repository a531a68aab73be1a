// Starting Windows programs from the Wine suite and the Wine benchmark.
#ifndef ZARVEL_TESTS_WINE_WINDOWS_PROCESS_H_
#define ZARVEL_TESTS_WINE_WINDOWS_PROCESS_H_

#include <windows.h>

#include <string>

// The folder of the running program, where the build puts its siblings.
inline std::wstring moduleDirectory() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L'\\'));
}

// The environment variable's value; empty when it is unset or too long.
inline std::wstring environment(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
  return n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

// Starts `commandLine` with its standard output on `output` (an inheritable
// handle) and this program's standard error. False when it could not start.
inline bool startProcess(std::wstring commandLine, HANDLE output, PROCESS_INFORMATION* process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  *process = PROCESS_INFORMATION{};
  return CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, process) != 0;
}

// Waits for the process to end, releases its handles and returns its exit code.
inline DWORD finishProcess(PROCESS_INFORMATION* process) {
  WaitForSingleObject(process->hProcess, INFINITE);
  DWORD exitCode = 0xFFFFFFFF;
  GetExitCodeProcess(process->hProcess, &exitCode);
  CloseHandle(process->hProcess);
  CloseHandle(process->hThread);
  return exitCode;
}

// An inheritable handle that discards what is written to it.
inline HANDLE openNul() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

#endif  // ZARVEL_TESTS_WINE_WINDOWS_PROCESS_H_
