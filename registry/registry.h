// The registry operations the scheme code needs, under their Win32 names.
//
// On Windows this is <windows.h> and the calls go straight to advapi32.
// Everywhere else they are declared here with the Win32 types and constants
// they use, and registry/memory_registry.cpp implements them in memory, so
// that the scheme code is the same text on both builds.
#ifndef ZARVEL_REGISTRY_REGISTRY_H_
#define ZARVEL_REGISTRY_REGISTRY_H_

#ifdef _WIN32

#include <windows.h>

#else

#include <cstdint>

struct HKEY__;  // NOLINT(bugprone-reserved-identifier): <windows.h>'s own name for it
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef DWORD REGSAM;
typedef unsigned char BYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
// Wide strings are wchar_t, as on Windows; there it holds UTF-16, here
// one UTF-32 code point per unit.
typedef const wchar_t* LPCWSTR;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_KEY_DELETED = 1018;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegCloseKey(HKEY key);
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);

#endif  // _WIN32

#endif  // ZARVEL_REGISTRY_REGISTRY_H_
