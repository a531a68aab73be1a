// zarvel-uri: registers the URI scheme "zarvel" for the application whose
// path is given on the command line. Every argument is part of that path.
#include "app/command_line.h"

int main(int argc, char* argv[]) { return runCommandLine(argc, argv); }
