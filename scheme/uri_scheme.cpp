#include "scheme/uri_scheme.h"

#include <cstdio>

#include "registry/registry.h"
#include "scheme/registration.h"

namespace {

// A key counts as present only when it opens for reading. The handle is
// only a probe, so it is closed at once.
bool keyExists(const wchar_t* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The command key counts only with a command in it: a run that failed at,
// or was ended before, writing the command leaves the key without one, and
// the shell can then start nothing. What the command names is not compared.
bool commandKeyHoldsCommand() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kCommandKeyWide, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  // Room for one character and its terminator is enough to tell an empty
  // command from one; a longer command answers ERROR_MORE_DATA.
  wchar_t start[2] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof start;
  const LONG result =
      RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(start), &size);
  RegCloseKey(key);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  return result == ERROR_MORE_DATA ||
         (result == ERROR_SUCCESS && size >= sizeof(wchar_t) && start[0] != L'\0');
}

}  // namespace

// By value: the export's signature, which its decorated name spells out.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void checkUriQualifier(std::string applicationPath) {
  if (!keyExists(kSchemeKeyWide)) {
    if (!registerUriQualifier(applicationPath)) {
      printf("Failed to register application in URI scheme");
    }
  }
  // Also right after a registration: one that failed leaves no command, and
  // the partial tree is then replaced whole.
  if (!commandKeyHoldsCommand()) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kSchemeKey);
    if (!registerUriQualifier(applicationPath)) {
      printf("Failed to register application in URI scheme");
    }
  }
}
