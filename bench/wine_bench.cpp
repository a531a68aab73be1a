// End-to-end cost under Wine: the program against the batch file an
// installer author would otherwise write (four reg add commands), each on an
// empty registry, in alternating order; the program on a complete
// registration; and an empty program's start and exit as the floor.
//   wine_bench [rounds]
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/wine/windows_process.h"

namespace {

// What an installer author would otherwise write: four reg add commands.
const char kRegisterBatch[] =
    "@echo off\r\n"
    "reg add \"HKCR\\zarvel\" /ve /d \"URL:Zarvel Protocol\" /f >nul\r\n"
    "reg add \"HKCR\\zarvel\" /v \"URL Protocol\" /d \"\" /f >nul\r\n"
    "reg add \"HKCR\\zarvel\\DefaultIcon\" /ve /d \"zarvel.exe,1\" /f >nul\r\n"
    "reg add \"HKCR\\zarvel\\shell\\open\\command\" /ve"
    " /d \"\\\"C:\\Apps\\zarvel.exe\\\" \\\"%%1\\\"\" /f >nul\r\n";

// Milliseconds from CreateProcess to the process's end, or -1.
double timeRun(const std::wstring& commandLine, HANDLE nul) {
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!startProcess(commandLine, nul, &process)) return -1;
  finishProcess(&process);
  QueryPerformanceCounter(&end);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::wstring commandValue() {
  wchar_t data[512] = L"";
  DWORD size = sizeof data;
  RegGetValueW(HKEY_CLASSES_ROOT, L"zarvel\\shell\\open\\command", nullptr, RRF_RT_REG_SZ, nullptr,
               data, &size);
  return data;
}

}  // namespace

int main(int argc, char* argv[]) {
  int rounds = 15;
  if (argc > 1) {
    const char* end = argv[1] + std::strlen(argv[1]);
    const std::from_chars_result parsed = std::from_chars(argv[1], end, rounds);
    if (parsed.ec != std::errc() || parsed.ptr != end || rounds < 1) {
      (void)std::fputs("usage: wine_bench [rounds], rounds a whole number from 1\n", stderr);
      return 2;
    }
  }
  const std::wstring dir = moduleDirectory();
  const std::wstring program = L"\"" + dir + L"\\zarvel-uri.exe\" C:\\Apps\\zarvel.exe";
  const std::wstring empty = L"\"" + dir + L"\\empty_program.exe\"";
  const std::wstring script = dir + L"\\register-zarvel.cmd";
  const std::wstring batch = L"cmd.exe /c \"" + script + L"\"";

  FILE* file = _wfopen(script.c_str(), L"wb");
  if (file == nullptr) return 1;
  const bool written = std::fputs(kRegisterBatch, file) >= 0;
  if (std::fclose(file) != 0 || !written) return 1;

  HANDLE nul = openNul();
  std::vector<double> programTimes, batchTimes, completeTimes, emptyTimes;
  bool sameCommand = true;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
      if ((round + turn) % 2 == 0) {
        programTimes.push_back(timeRun(program, nul));
      } else {
        batchTimes.push_back(timeRun(batch, nul));
        sameCommand = sameCommand && commandValue() == L"\"C:\\Apps\\zarvel.exe\" \"%1\"";
      }
    }
    completeTimes.push_back(timeRun(program, nul));  // the registration is complete now
    emptyTimes.push_back(timeRun(empty, nul));
  }
  CloseHandle(nul);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
  DeleteFileW(script.c_str());

  const double program_ms = median(programTimes), batch_ms = median(batchTimes);
  std::printf("rounds: %d (program and batch alternating, each on an empty registry)\n", rounds);
  std::printf("batch wrote the same open command: %s\n", sameCommand ? "yes" : "NO");
  std::printf("| run | median |\n|---|---|\n");
  std::printf("| zarvel-uri.exe, empty registry | %.1f ms |\n", program_ms);
  std::printf("| cmd /c with four reg add, empty registry | %.1f ms |\n", batch_ms);
  std::printf("| zarvel-uri.exe, complete registration | %.1f ms |\n", median(completeTimes));
  std::printf("| empty program (start and exit) | %.1f ms |\n", median(emptyTimes));
  std::printf("batch / program: %.1fx\n", batch_ms / program_ms);
  return sameCommand ? 0 : 1;
}
