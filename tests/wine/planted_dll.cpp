// A valid DLL to plant beside the program under the mingw runtime's names:
// were the program to look for one there, Windows would load this one.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
