// Where the process may load DLLs from, set before anything else runs.
//
// Installers run this program elevated from folders that users can write to,
// such as Downloads, where Windows looks first for a DLL that is not a
// KnownDLL. Nothing here loads a DLL; everything after it that loads one by
// name (the runtime libraries call LoadLibrary by name, and Windows may load
// DLLs on the program's behalf) gets it from System32.
#include <windows.h>

namespace {

// SetDefaultDllDirectories is looked up, not imported, so that the program
// still starts on Vista and on Windows 7 without KB2533623; there, taking the
// current folder out of the search is what is left.
//
// Priority 101, the first that programs may use: before every other
// constructor, the stack protector's seed (stack_protector.cpp) among them,
// and so before main.
__attribute__((constructor(101))) void loadOnlyFromSystem32() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories == nullptr ||
      setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 0) {
    SetDllDirectoryW(L"");
  }
}

}  // namespace
