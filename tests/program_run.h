// What a program run to its end left, for the native tests and the Wine
// suite alike.
#ifndef ZARVEL_TESTS_PROGRAM_RUN_H_
#define ZARVEL_TESTS_PROGRAM_RUN_H_

#include <cstdint>
#include <string>

struct ProgramRun {
  std::string output;  // its standard output, byte for byte
  // Its exit status, which a POSIX program gives in 8 bits and a Windows
  // one in 32; all ones when it did not end by exiting.
  uint32_t exitCode;
};

#endif  // ZARVEL_TESTS_PROGRAM_RUN_H_
