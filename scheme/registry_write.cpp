#include "scheme/registry_write.h"

#include <cstdio>
#include <cstring>

#include "registry/registry.h"

bool createRegistryKey(const char* keyPath) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);  // only the key's existence was wanted
  return true;
}

// The key path by value: the helper owns its copy.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool writeToRegistry(std::string keyPath, const char* valueName, const char* data) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    // The stored bytes include the terminating zero.
    const DWORD size = static_cast<DWORD>(std::strlen(data)) + 1;
    if (RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), size) ==
        ERROR_SUCCESS) {
      printf("Success writing to Registry %s", data);
      if (RegCloseKey(key) == ERROR_SUCCESS) {
        printf("Success closing key.");
      } else {
        printf("Error closing key.");
      }
      return true;
    }
    RegCloseKey(key);  // a failed store reports only the write; the handle must not leak
  }
  printf("Error writing to Registry %s", data);
  return false;
}
