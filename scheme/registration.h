// The registration of the URI scheme "zarvel" and the layout it writes.
#ifndef ZARVEL_SCHEME_REGISTRATION_H_
#define ZARVEL_SCHEME_REGISTRATION_H_

#include <string>

// Key paths below HKEY_CLASSES_ROOT. The two that the check tests for are
// also given as wide text, the form it opens them with.
inline constexpr char kSchemeKey[] = "zarvel";
inline constexpr wchar_t kSchemeKeyWide[] = L"zarvel";
inline constexpr char kIconKey[] = "zarvel\\DefaultIcon";
inline constexpr char kCommandKey[] = "zarvel\\shell\\open\\command";
inline constexpr wchar_t kCommandKeyWide[] = L"zarvel\\shell\\open\\command";

// Value names and data; a null name is the key's default value.
inline constexpr char kUrlProtocolValueName[] = "URL Protocol";
inline constexpr char kSchemeDescription[] = "URL:Zarvel Protocol";
inline constexpr char kIconReference[] = "zarvel.exe,1";

// The open command: the path in double quotes, a space, then "%1" in double
// quotes, where the shell puts the URI. The path is taken as it is.
std::string buildOpenCommand(std::string applicationPath);

// Writes the three keys and four values; true when all four were written.
// Stops at the first failing step, reports it and leaves what was written.
bool registerUriQualifier(std::string applicationPath);

#endif  // ZARVEL_SCHEME_REGISTRATION_H_
