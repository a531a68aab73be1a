// Every registry call of a check made to fail in turn, then every pair of
// failures with one in each registration attempt, then a run ended after
// each of its calls and followed by another. The expected output and tree
// come from a small model of the check built from the table of steps and
// messages below, not from the code under test.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "registry/memory_registry.h"
#include "registry/shown_bytes.h"
#include "scheme/uri_scheme.h"
#include "tests/captured_stdout.h"

namespace {

const char kPath[] = "C:\\Apps\\zarvel.exe";
const char kCommand[] = "\"C:\\Apps\\zarvel.exe\" \"%1\"";
const char kFailed[] = "Failed to register application in URI scheme";

struct Step {
  bool create;  // create the key, or write one value to it
  const char* key;
  const char* valueName;  // "" for the default value
  const char* data;
  const char* failure;  // printed when the step fails, after the helper's own message
};

const Step kSteps[] = {
    {true, "zarvel", "", "", "Failed to create 'zarvel' entry"},
    {false, "zarvel", "", "URL:Zarvel Protocol", "Failed to set new values in 'zarvel' key"},
    {false, "zarvel", "URL Protocol", "", "Failed to set new values in 'zarvel' key"},
    {true, "zarvel\\DefaultIcon", "", "", "Failed to create 'zarvel/DefaultIcon' entry"},
    {false, "zarvel\\DefaultIcon", "", "zarvel.exe,1", ""},
    {true, "zarvel\\shell\\open\\command", "", "",
     "Failed to create 'zarvel/shell/open/command' entry"},
    {false, "zarvel\\shell\\open\\command", "", kCommand,
     "Failed to set new values in 'zarvel' key"},
};

// A value as the model keeps it: a string's text without its terminator,
// or another type's bytes.
struct Data {
  DWORD type;
  std::string bytes;
};

bool isString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// As the in-memory registry's tree text names them.
const std::map<DWORD, std::string> kTypeNames = {
    {REG_SZ, "REG_SZ"}, {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"}};

using Keys = std::map<std::string, std::map<std::string, Data>>;

// The registry as keys with their values, and the check's calls over it:
// each call is numbered, and a numbered call in `failing` fails.
struct Model {
  Keys keys;
  std::set<int> failing;
  int calls = 0;
  std::string output;
  std::vector<int> attemptStarts;  // number of the first call of each registration

  bool call() { return failing.count(++calls) == 0; }

  void addKey(const std::string& path) {
    for (size_t end = path.find('\\'); end != std::string::npos; end = path.find('\\', end + 1)) {
      keys[path.substr(0, end)];
    }
    keys[path];
  }

  bool keyOpensForReading(const std::string& path) {
    if (!call() || keys.count(path) == 0) return false;
    call();  // the probe's close
    return true;
  }

  // The command key counts only with a command in it, read before the
  // probe's close.
  bool commandKeyHoldsCommand() {
    const std::string path = "zarvel\\shell\\open\\command";
    if (!call() || keys.count(path) == 0) return false;
    const bool read = call();
    call();
    const auto command = keys[path].find("");
    return read && command != keys[path].end() && isString(command->second.type) &&
           !command->second.bytes.empty();
  }

  bool createKey(const std::string& path) {
    if (!call()) return false;
    addKey(path);
    call();
    return true;
  }

  bool write(const Step& step) {
    bool opened = call() && keys.count(step.key) > 0;
    if (opened && call()) {
      keys[step.key][step.valueName] = Data{REG_SZ, step.data};
      output += std::string("Success writing to Registry ") + step.data;
      output += call() ? "Success closing key." : "Error closing key.";
      return true;
    }
    if (opened) call();  // the close after a failed store
    output += std::string("Error writing to Registry ") + step.data;
    return false;
  }

  bool registration() {
    attemptStarts.push_back(calls + 1);
    for (const Step& step : kSteps) {
      if (!(step.create ? createKey(step.key) : write(step))) {
        output += step.failure;
        return false;
      }
    }
    return true;
  }

  void check() {
    if (!keyOpensForReading("zarvel") && !registration()) output += kFailed;
    if (!commandKeyHoldsCommand()) {
      if (call()) {
        for (auto it = keys.begin(); it != keys.end();) {
          const bool inScheme = it->first == "zarvel" || it->first.rfind("zarvel\\", 0) == 0;
          it = inScheme ? keys.erase(it) : ++it;
        }
      }
      if (!registration()) output += kFailed;
    }
  }

  std::string treeText() const {
    std::string text;
    for (const auto& key : keys) {
      text += key.first + "\n";
      for (const auto& value : key.second) {
        const Data& data = value.second;
        text += "  " + (value.first.empty() ? std::string("@") : shownBytes(value.first)) + " = " +
                kTypeNames.at(data.type) + " " +
                shownBytes(isString(data.type) ? data.bytes + '\0' : data.bytes) + "\n";
      }
    }
    return text;
  }
};

struct StartingState {
  const char* name;
  Keys keys;
  bool complete;  // a registration the check leaves as it is
};

// A registration whose command key holds `command`, or no command at all.
Keys layoutWith(const char* command, DWORD type = REG_SZ) {
  Keys keys = {{"zarvel", {{"", {REG_SZ, "URL:Zarvel Protocol"}}, {"URL Protocol", {REG_SZ, ""}}}},
               {"zarvel\\DefaultIcon", {{"", {REG_SZ, "zarvel.exe,1"}}}},
               {"zarvel\\shell", {}},
               {"zarvel\\shell\\open", {}},
               {"zarvel\\shell\\open\\command", {}}};
  if (command) keys["zarvel\\shell\\open\\command"][""] = Data{type, command};
  return keys;
}

const StartingState kStartingStates[] = {
    {"empty", {}, false},
    {"scheme key only", {{"zarvel", {}}}, false},
    {"complete", layoutWith("\"D:\\Old\\zarvel.exe\" \"%1\""), true},
    {"command key without its command", layoutWith(nullptr), false},
    {"empty command", layoutWith(""), false},
    {"command of another type", layoutWith("\"D:\\Old\\zarvel.exe\" \"%1\"", REG_BINARY), false},
    {"expandable command", layoutWith("\"%ProgramFiles%\\zarvel.exe\" \"%1\"", REG_EXPAND_SZ),
     true},
};

void seed(const StartingState& state) {
  memory_registry::reset();
  for (const auto& key : state.keys) {
    memory_registry::seedKey(key.first);
    for (const auto& value : key.second) {
      const Data& data = value.second;
      memory_registry::seedValue(key.first, value.first, data.type,
                                 isString(data.type) ? data.bytes + '\0' : data.bytes);
    }
  }
}

std::string check() {
  return captureStdout([] { checkUriQualifier(kPath); });
}

// The tree as the model holds it; every string in it is terminated.
Keys keysOf(const std::vector<memory_registry::Key>& tree) {
  Keys keys;
  for (const memory_registry::Key& key : tree) {
    auto& values = keys[key.path];
    for (const memory_registry::Value& value : key.values) {
      if (!isString(value.type)) {
        values[value.name] = Data{value.type, value.bytes};
        continue;
      }
      const bool terminated = !value.bytes.empty() && value.bytes.back() == '\0';
      EXPECT_TRUE(terminated) << key.path;
      if (terminated) {
        values[value.name] = Data{value.type, value.bytes.substr(0, value.bytes.size() - 1)};
      }
    }
  }
  return keys;
}

Model modelRun(const StartingState& state, std::set<int> failing) {
  Model model;
  model.keys = state.keys;
  model.failing = std::move(failing);
  model.check();
  return model;
}

// After a run without faults the registration is complete: the one just
// written, or the complete one the sweep started from.
void expectComplete(const StartingState& state, const std::string& tree) {
  Model written;
  written.check();
  Model started;
  started.keys = state.keys;
  EXPECT_TRUE(tree == written.treeText() || (state.complete && tree == started.treeText())) << tree;
}

TEST(FaultSweepTest, EachCallFailsInTurn) {
  int positions = 0;
  for (const StartingState& state : kStartingStates) {
    for (LONG error : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(state.name) + ", call " + std::to_string(n) + " fails with " +
                     std::to_string(error));
        seed(state);
        memory_registry::failNthCall(n, error);
        Model expected = modelRun(state, {n});
        EXPECT_EQ(check(), expected.output);
        EXPECT_EQ(memory_registry::treeText(), expected.treeText());
        EXPECT_EQ(memory_registry::openHandleCount(), 0);
        const int made = static_cast<int>(memory_registry::calls().size());
        EXPECT_EQ(made, expected.calls);
        if (made < n) break;
        ++positions;

        // A run without faults repairs whatever the failure left.
        Model repaired = expected;
        repaired.failing.clear();
        repaired.output.clear();
        repaired.check();
        EXPECT_EQ(check(), repaired.output);
        EXPECT_EQ(memory_registry::treeText(), repaired.treeText());
        expectComplete(state, memory_registry::treeText());
        EXPECT_EQ(memory_registry::openHandleCount(), 0);
      }
    }
  }
  std::printf("fault positions covered: %d\n", positions);
  EXPECT_GT(positions, 150);
}

TEST(FaultSweepTest, OneFailureInEachAttempt) {
  const StartingState& empty = kStartingStates[0];
  int pairs = 0;
  const int firstAttemptEnd = modelRun(empty, {}).calls;
  for (int first = 2; first <= firstAttemptEnd; ++first) {
    Model single = modelRun(empty, {first});
    if (single.attemptStarts.size() < 2) continue;  // that failure left no second attempt
    for (int second = single.attemptStarts[1]; second <= single.calls; ++second) {
      SCOPED_TRACE("calls " + std::to_string(first) + " and " + std::to_string(second) + " fail");
      Model expected = modelRun(empty, {first, second});
      seed(empty);
      memory_registry::failNthCall(first, ERROR_ACCESS_DENIED);
      memory_registry::failNthCall(second, ERROR_ACCESS_DENIED);
      EXPECT_EQ(check(), expected.output);
      EXPECT_EQ(memory_registry::treeText(), expected.treeText());
      EXPECT_EQ(memory_registry::openHandleCount(), 0);
      ++pairs;
    }
  }
  std::printf("pairs covered: %d\n", pairs);
  EXPECT_GT(pairs, 50);
}

// A run ended right after any one of its registry calls (an installer
// cancelled, the machine switched off) leaves the tree as it stood then. The
// next run finds that tree and ends in a complete registration.
TEST(FaultSweepTest, RunEndedAfterEachCallIsRepairedByTheNext) {
  int positions = 0;
  for (const StartingState& state : kStartingStates) {
    std::vector<Keys> leftovers;
    seed(state);
    memory_registry::afterEachCall([&] { leftovers.push_back(keysOf(memory_registry::tree())); });
    check();
    memory_registry::afterEachCall(nullptr);
    EXPECT_EQ(leftovers.size(), static_cast<size_t>(modelRun(state, {}).calls));
    for (size_t n = 0; n < leftovers.size(); ++n) {
      SCOPED_TRACE(std::string(state.name) + ", run ended after call " + std::to_string(n + 1));
      const StartingState leftover{state.name, leftovers[n], state.complete};
      seed(leftover);
      Model expected = modelRun(leftover, {});
      EXPECT_EQ(check(), expected.output);
      EXPECT_EQ(memory_registry::treeText(), expected.treeText());
      expectComplete(state, memory_registry::treeText());
      EXPECT_EQ(memory_registry::openHandleCount(), 0);
      ++positions;
    }
  }
  std::printf("run ends covered: %d\n", positions);
  EXPECT_GT(positions, 90);
}

}  // namespace
