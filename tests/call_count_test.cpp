// The registry calls a run costs, by the state it finds. A complete
// registration is the floor: two probes, the read of the command, the
// probes' closes, no writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "registry/memory_registry.h"
#include "scheme/uri_scheme.h"
#include "tests/captured_stdout.h"

namespace {

using memory_registry::Operation;

TEST(CallCountTest, CallsPerRunByStateFound) {
  const struct {
    const char* name;
    std::function<void()> seed;
    std::map<Operation, int> counts;
  } cases[] = {
      {"empty",
       [] {},
       {{Operation::OpenKeyW, 2},
        {Operation::QueryValue, 1},
        {Operation::CreateKey, 3},
        {Operation::OpenKeyA, 4},
        {Operation::SetValue, 4},
        {Operation::CloseKey, 8}}},
      {"scheme key only",
       [] { memory_registry::seedKey("zarvel"); },
       {{Operation::OpenKeyW, 2},
        {Operation::DeleteTree, 1},
        {Operation::CreateKey, 3},
        {Operation::OpenKeyA, 4},
        {Operation::SetValue, 4},
        {Operation::CloseKey, 8}}},
      {"command key without its command",
       [] { memory_registry::seedKey("zarvel\\shell\\open\\command"); },
       {{Operation::OpenKeyW, 2},
        {Operation::QueryValue, 1},
        {Operation::DeleteTree, 1},
        {Operation::CreateKey, 3},
        {Operation::OpenKeyA, 4},
        {Operation::SetValue, 4},
        {Operation::CloseKey, 9}}},
      {"complete",
       [] {
         memory_registry::seedValue("zarvel\\shell\\open\\command", "", REG_SZ,
                                    std::string("\"C:\\Apps\\zarvel.exe\" \"%1\"\0", 26));
       },
       {{Operation::OpenKeyW, 2}, {Operation::QueryValue, 1}, {Operation::CloseKey, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    memory_registry::reset();
    c.seed();
    captureStdout([] { checkUriQualifier("C:\\Apps\\zarvel.exe"); });
    std::map<Operation, int> counts;
    for (const memory_registry::Call& call : memory_registry::calls()) ++counts[call.operation];
    EXPECT_EQ(counts, c.counts);
    std::printf("%s: %zu registry calls\n", c.name, memory_registry::calls().size());
  }
}

}  // namespace
