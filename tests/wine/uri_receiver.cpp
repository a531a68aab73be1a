// Stands in for the zarvel application when the shell starts a zarvel: URI:
// writes the arguments it received, one per line in UTF-8, to the file named
// by ZARVEL_RECEIVED_FILE.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t* argv[]) {
  wchar_t target[MAX_PATH];
  if (GetEnvironmentVariableW(L"ZARVEL_RECEIVED_FILE", target, MAX_PATH) == 0) return 2;
  std::string text;
  for (int i = 1; i < argc; ++i) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, buffer, sizeof buffer, nullptr, nullptr);
    if (n > 0) text.append(buffer, n - 1);
    text += '\n';
  }
  FILE* file = _wfopen(target, L"wb");
  if (file == nullptr) return 3;
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && written ? 0 : 3;
}
