// The program's command line: turning it into the application path, and the
// whole run.
#ifndef ZARVEL_APP_COMMAND_LINE_H_
#define ZARVEL_APP_COMMAND_LINE_H_

#include <string>

// Joins argv[1..argc-1] with one space between neighbours, so that a path
// split at its spaces arrives whole again. An empty argument adds only its
// separator; argv[0], the program's name, is not used.
std::string joinArguments(int argc, const char* const argv[]);

// Echoes the joined path on a line of its own and, given at least one
// argument, runs the scheme check with it. Returns the exit status: always
// 0, since failures are reported on standard output.
int runCommandLine(int argc, const char* const argv[]);

#endif  // ZARVEL_APP_COMMAND_LINE_H_
