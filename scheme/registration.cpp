#include "scheme/registration.h"

#include <cstdio>

#include "scheme/registry_write.h"

std::string buildOpenCommand(std::string applicationPath) {
  applicationPath.insert(0, 1, '"');
  applicationPath.append("\" \"%1\"");
  return applicationPath;
}

bool registerUriQualifier(std::string applicationPath) {
  if (!createRegistryKey(kSchemeKey)) {
    printf("Failed to create 'zarvel' entry");
    return false;
  }
  if (!writeToRegistry(kSchemeKey, nullptr, kSchemeDescription)) {
    printf("Failed to set new values in 'zarvel' key");
    return false;
  }
  if (!writeToRegistry(kSchemeKey, kUrlProtocolValueName, "")) {
    printf("Failed to set new values in 'zarvel' key");
    return false;
  }
  if (!createRegistryKey(kIconKey)) {
    printf("Failed to create 'zarvel/DefaultIcon' entry");
    return false;
  }
  if (!writeToRegistry(kIconKey, nullptr, kIconReference)) return false;
  if (!createRegistryKey(kCommandKey)) {
    printf("Failed to create 'zarvel/shell/open/command' entry");
    return false;
  }
  const std::string openCommand = buildOpenCommand(std::move(applicationPath));
  if (!writeToRegistry(kCommandKey, nullptr, openCommand.c_str())) {
    printf("Failed to set new values in 'zarvel' key");
    return false;
  }
  return true;
}
