// Turning the command line into the application path.
#ifndef ZARVEL_APP_COMMAND_LINE_H_
#define ZARVEL_APP_COMMAND_LINE_H_

#include <string>

// Joins argv[1..argc-1] with one space between neighbours, so that a path
// split at its spaces arrives whole again. An empty argument adds only its
// separator; argv[0], the program's name, is not used.
std::string joinArguments(int argc, const char* const argv[]);

#endif  // ZARVEL_APP_COMMAND_LINE_H_
