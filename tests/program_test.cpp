// The native program as a process: echo, check, exit status. Each run starts
// with an empty in-memory registry.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/program_run.h"

// POSIX leaves this declaration to the program; glibc makes it only for
// _GNU_SOURCE, which g++ happens to define.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

ProgramRun runProgram(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ZARVEL_URI_PROGRAM);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  ProgramRun run{"", UINT32_MAX};
  char buffer[4096];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, n);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

const std::string kRegistered =
    "Success writing to Registry URL:Zarvel ProtocolSuccess closing key."
    "Success writing to Registry Success closing key."
    "Success writing to Registry zarvel.exe,1Success closing key."
    "Success writing to Registry \"C:\\Apps\\zarvel.exe\" \"%1\"Success closing key.";

TEST(ProgramTest, FirstRunEchoesThenRegisters) {
  ProgramRun run = runProgram({"C:\\Apps\\zarvel.exe"});
  EXPECT_EQ(run.output, "C:\\Apps\\zarvel.exe\n" + kRegistered);
  EXPECT_EQ(run.exitCode, 0u);
}

TEST(ProgramTest, ArgumentsBecomeOnePath) {
  const struct {
    std::vector<std::string> arguments;
    std::string output;
  } cases[] = {
      {{}, "\n"},
      {{"C:\\Program", "Files\\App\\zarvel.exe"},
       "C:\\Program Files\\App\\zarvel.exe\n"
       "Success writing to Registry URL:Zarvel ProtocolSuccess closing key."
       "Success writing to Registry Success closing key."
       "Success writing to Registry zarvel.exe,1Success closing key."
       "Success writing to Registry \"C:\\Program Files\\App\\zarvel.exe\" \"%1\""
       "Success closing key."},
      {{""},
       "\n"
       "Success writing to Registry URL:Zarvel ProtocolSuccess closing key."
       "Success writing to Registry Success closing key."
       "Success writing to Registry zarvel.exe,1Success closing key."
       "Success writing to Registry \"\" \"%1\"Success closing key."},
      {{"%s%n", "--help"},
       "%s%n --help\n"
       "Success writing to Registry URL:Zarvel ProtocolSuccess closing key."
       "Success writing to Registry Success closing key."
       "Success writing to Registry zarvel.exe,1Success closing key."
       "Success writing to Registry \"%s%n --help\" \"%1\"Success closing key."},
  };
  for (const auto& c : cases) {
    ProgramRun run = runProgram(c.arguments);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exitCode, 0u);
  }
}

}  // namespace
