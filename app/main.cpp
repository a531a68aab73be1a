// zarvel-uri: registers the URI scheme "zarvel" for the application whose
// path is given on the command line. Every argument is part of that path.
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "scheme/uri_scheme.h"

int main(int argc, char* argv[]) {
  const std::string applicationPath = joinArguments(argc, argv);
  printf("%s\n", applicationPath.c_str());
  if (argc > 1) checkUriQualifier(applicationPath);
  // Registry failures are reported on standard output, never by exit status.
  return 0;
}
