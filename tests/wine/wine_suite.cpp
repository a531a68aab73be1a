#include "tests/wine/wine_suite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "registry/shown_bytes.h"
#include "tests/wine/windows_process.h"

namespace {

const std::string kLayoutAboveCommand =
    "zarvel\n"
    "  @ = REG_SZ \"URL:Zarvel Protocol\\0\"\n"
    "  \"URL Protocol\" = REG_SZ \"\\0\"\n"
    "zarvel\\DefaultIcon\n"
    "  @ = REG_SZ \"zarvel.exe,1\\0\"\n"
    "zarvel\\shell\n"
    "zarvel\\shell\\open\n"
    "zarvel\\shell\\open\\command\n";

std::string valueText(DWORD type, const std::vector<BYTE>& data) {
  if (type == REG_SZ && data.size() % 2 == 0) {
    std::wstring wide(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
    return "REG_SZ " + shownBytes(utf8(wide));
  }
  std::string bytes(data.begin(), data.end());
  return (type == REG_DWORD ? "REG_DWORD " : "type " + std::to_string(type) + " ") +
         shownBytes(bytes);
}

bool lessIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

// The key `path` below `base` of `root` and everything below it, in the form
// the native tests use: a line per key, named by `path`, then its values
// (stored as UTF-16, shown as UTF-8) in name order.
void dumpKey(HKEY root, const std::wstring& base, const std::wstring& path, std::string* out) {
  HKEY key = nullptr;
  const std::wstring full = base.empty() ? path : base + L"\\" + path;
  if (RegOpenKeyExW(root, full.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  *out += utf8(path) + "\n";
  struct Entry {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Entry> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384, type = 0, size = 0;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      break;
    }
    std::vector<BYTE> data(size);
    nameLength = 16384;
    RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size);
    values.push_back(Entry{std::wstring(name, nameLength), type, data});
  }
  std::sort(values.begin(), values.end(),
            [](const Entry& a, const Entry& b) { return lessIgnoringCase(a.name, b.name); });
  for (const Entry& v : values) {
    *out += "  " + (v.name.empty() ? std::string("@") : shownBytes(utf8(v.name))) + " = " +
            valueText(v.type, v.data) + "\n";
  }
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    subkeys.emplace_back(name, nameLength);
  }
  RegCloseKey(key);
  std::sort(subkeys.begin(), subkeys.end(), lessIgnoringCase);
  for (const std::wstring& name : subkeys) dumpKey(root, base, path + L"\\" + name, out);
}

}  // namespace

std::string completeTree(const std::string& command) {
  return kLayoutAboveCommand + "  @ = REG_SZ " + shownBytes(command + '\0') + "\n";
}

std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::string schemeTree() { return schemeTreeBelow(HKEY_CLASSES_ROOT, L""); }

std::string schemeTreeBelow(HKEY root, const std::wstring& classes) {
  std::string out;
  dumpKey(root, classes, L"zarvel", &out);
  return out;
}

ProgramRun runCommandLine(const std::wstring& commandLine) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process;
  const bool started = startProcess(commandLine, writeEnd, &process);
  CloseHandle(writeEnd);
  ProgramRun run{"", 0xFFFFFFFF};
  EXPECT_TRUE(started) << utf8(commandLine);
  if (started) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0)
      run.output.append(buffer, n);
    run.exitCode = finishProcess(&process);
  }
  CloseHandle(readEnd);
  return run;
}

std::string receivedThroughShell(const std::wstring& startArguments) {
  const std::wstring received = moduleDirectory() + L"\\received.txt";
  DeleteFileW(received.c_str());
  SetEnvironmentVariableW(L"ZARVEL_RECEIVED_FILE", received.c_str());
  ProgramRun start = runCommandLine(L"start.exe /wait " + startArguments);
  EXPECT_EQ(start.exitCode, 0u) << start.output;
  FILE* file = _wfopen(received.c_str(), L"rb");
  if (file == nullptr) return "";
  std::string text;
  char buffer[1024];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  EXPECT_EQ(fclose(file), 0);
  DeleteFileW(received.c_str());
  return text;
}
