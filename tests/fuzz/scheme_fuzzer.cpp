// libFuzzer target: the input is a fault schedule and an argument vector;
// the program's run over the in-memory registry must keep its invariants.
//
// Input: byte 0 gives the number of faults (its low two bits); each fault
// takes two bytes, the number of the registry call that fails (1-64) and the
// error (odd: access denied, even: not found). The rest, split at zero bytes,
// are the arguments after the program's name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "registry/memory_registry.h"

namespace memory_registry {
// Where the standard library's comparisons of vectors find them.
bool operator==(const Value& a, const Value& b) {
  return a.name == b.name && a.type == b.type && a.bytes == b.bytes;
}
bool operator==(const Key& a, const Key& b) { return a.path == b.path && a.values == b.values; }
}  // namespace memory_registry

namespace {

using memory_registry::Key;
using memory_registry::Value;

Value text(const std::string& name, const std::string& data) { return {name, REG_SZ, data + '\0'}; }

// The trees a registration can leave: the layout written up to each step.
std::vector<std::vector<Key>> allowedTrees(const std::string& path) {
  const std::string command = "\"" + path + "\" \"%1\"";
  std::vector<std::vector<Key>> trees = {
      {},
      {{"zarvel", {}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol")}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol"), text("URL Protocol", "")}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol"), text("URL Protocol", "")}},
       {"zarvel\\DefaultIcon", {}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol"), text("URL Protocol", "")}},
       {"zarvel\\DefaultIcon", {text("", "zarvel.exe,1")}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol"), text("URL Protocol", "")}},
       {"zarvel\\DefaultIcon", {text("", "zarvel.exe,1")}},
       {"zarvel\\shell", {}},
       {"zarvel\\shell\\open", {}},
       {"zarvel\\shell\\open\\command", {}}},
      {{"zarvel", {text("", "URL:Zarvel Protocol"), text("URL Protocol", "")}},
       {"zarvel\\DefaultIcon", {text("", "zarvel.exe,1")}},
       {"zarvel\\shell", {}},
       {"zarvel\\shell\\open", {}},
       {"zarvel\\shell\\open\\command", {text("", command)}}},
  };
  return trees;
}

void require(bool condition, const char* what) {
  if (!condition) {
    (void)std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_registry::reset();
  size_t at = 0;
  const int faults = size > 0 ? data[at++] & 3 : 0;
  for (int i = 0; i < faults && at + 1 < size; ++i, at += 2) {
    memory_registry::failNthCall(1 + data[at] % 64,
                                 data[at + 1] & 1 ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
  }
  std::vector<std::string> arguments;
  if (at < size) {
    std::string rest(reinterpret_cast<const char*>(data + at), size - at);
    for (size_t start = 0;;) {
      size_t end = rest.find('\0', start);
      arguments.push_back(rest.substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  std::vector<const char*> argv = {"zarvel-uri"};
  std::string joined;
  for (const std::string& a : arguments) {
    argv.push_back(a.c_str());
    joined += (argv.size() > 2 ? " " : "") + a;
  }

  // Catch standard output in memory.
  char* buffer = nullptr;
  size_t length = 0;
  FILE* captured = open_memstream(&buffer, &length);
  FILE* saved = stdout;
  stdout = captured;
  const int status = runCommandLine(static_cast<int>(argv.size()), argv.data());
  require(std::fflush(captured) == 0, "output captured");
  stdout = saved;
  const std::string output(buffer, length);
  require(std::fclose(captured) == 0, "capture closed");
  std::free(buffer);

  require(status == 0, "exit status is 0");
  require(output.compare(0, joined.size() + 1, joined + "\n") == 0,
          "echo line is the joined arguments");
  require(memory_registry::openHandleCount() == 0, "no handle left open");
  const std::vector<Key> tree = memory_registry::tree();
  if (arguments.empty()) {
    require(memory_registry::calls().empty(), "no arguments: registry untouched");
    require(output == "\n", "no arguments: only an empty line");
    return 0;
  }
  bool allowed = false;
  for (const std::vector<Key>& candidate : allowedTrees(joined)) {
    allowed = allowed || tree == candidate;
  }
  require(allowed, "tree is empty, a partial registration or the complete one");
  // One failed call, wherever it falls, is made good by the second attempt.
  if (faults <= 1) require(tree == allowedTrees(joined).back(), "one fault: complete registration");
  return 0;
}
