#include "scheme/uri_scheme.h"

#include <cstdio>

#include "registry/registry.h"
#include "scheme/registration.h"

namespace {

// A key counts as present exactly when it opens for reading. The handle is
// only a probe, so it is closed at once.
bool keyExists(const wchar_t* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace

void checkUriQualifier(std::string applicationPath) {
  if (!keyExists(kSchemeKeyWide)) {
    if (!registerUriQualifier(applicationPath)) {
      printf("Failed to register application in URI scheme");
    }
  }
  // Also right after a registration: one that failed early leaves no command
  // key, and the partial tree is then replaced whole.
  if (!keyExists(kCommandKeyWide)) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kSchemeKey);
    if (!registerUriQualifier(applicationPath)) {
      printf("Failed to register application in URI scheme");
    }
  }
}
