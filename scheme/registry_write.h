// The two helpers through which the registration changes the registry.
#ifndef ZARVEL_SCHEME_REGISTRY_WRITE_H_
#define ZARVEL_SCHEME_REGISTRY_WRITE_H_

#include <string>

// Makes sure the key at `keyPath` (below HKEY_CLASSES_ROOT, backslashes)
// exists, creating missing levels. Prints nothing.
bool createRegistryKey(const char* keyPath);

// Stores `data` as the REG_SZ value `valueName` (null: the default value) of
// the existing key at `keyPath`, and reports the write and the closing of the
// key on standard output. True when the value was stored.
bool writeToRegistry(std::string keyPath, const char* valueName, const char* data);

#endif  // ZARVEL_SCHEME_REGISTRY_WRITE_H_
