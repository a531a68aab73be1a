// What the Wine suite and the installer tests share: reading the scheme's
// tree back from Wine's registry, running a program for its output, and
// starting a URI through the shell.
#ifndef ZARVEL_TESTS_WINE_WINE_SUITE_H_
#define ZARVEL_TESTS_WINE_WINE_SUITE_H_

#include <windows.h>

#include <string>

#include "tests/program_run.h"

std::string utf8(const std::wstring& wide);

// "zarvel" and everything below it, a line per key, then its values (stored
// as UTF-16, shown as UTF-8) in name order; empty when the key is missing.
std::string schemeTree();

// The same for the "zarvel" below `root`'s key `classes`, as
// HKEY_CURRENT_USER's "Software\Classes" (its keys named as below HKCR).
std::string schemeTreeBelow(HKEY root, const std::wstring& classes);

// The tree that a complete registration with this open command leaves.
std::string completeTree(const std::string& command);

// Runs `commandLine` to its end and collects its standard output.
ProgramRun runCommandLine(const std::wstring& commandLine);

// Runs `start.exe /wait <startArguments>`, as a user or a browser would hand
// a URI to the shell, and returns what the URI receiver standing in for the
// application wrote: its arguments, one per line. Empty when it did not run.
std::string receivedThroughShell(const std::wstring& startArguments);

#endif  // ZARVEL_TESTS_WINE_WINE_SUITE_H_
