#include "app/command_line.h"

#include <cstdio>

#include "scheme/uri_scheme.h"

std::string joinArguments(int argc, const char* const argv[]) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) joined += ' ';
    joined += argv[i];
  }
  return joined;
}

int runCommandLine(int argc, const char* const argv[]) {
  const std::string applicationPath = joinArguments(argc, argv);
  printf("%s\n", applicationPath.c_str());
  if (argc > 1) checkUriQualifier(applicationPath);
  return 0;
}
