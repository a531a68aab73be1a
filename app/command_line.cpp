#include "app/command_line.h"

std::string joinArguments(int argc, const char* const argv[]) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) joined += ' ';
    joined += argv[i];
  }
  return joined;
}
