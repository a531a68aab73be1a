// The one public operation: make sure the URI scheme "zarvel" is registered
// below HKEY_CLASSES_ROOT for the application at `applicationPath`.
#ifndef ZARVEL_SCHEME_URI_SCHEME_H_
#define ZARVEL_SCHEME_URI_SCHEME_H_

#include <string>

// Writes the whole registration when the scheme key or its open command key
// is missing; leaves a registration that has both alone. Reports every write,
// close and failure on standard output. The executable exports it.
void checkUriQualifier(std::string applicationPath);

#endif  // ZARVEL_SCHEME_URI_SCHEME_H_
