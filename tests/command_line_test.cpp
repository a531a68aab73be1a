#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

TEST(JoinArgumentsTest, JoinsWithSingleSpaces) {
  const struct {
    std::vector<const char*> argv;
    std::string joined;
  } cases[] = {
      {{"zarvel-uri"}, ""},
      {{"zarvel-uri", ""}, ""},
      {{"zarvel-uri", "C:\\Apps\\zarvel.exe"}, "C:\\Apps\\zarvel.exe"},
      {{"zarvel-uri", "C:\\Program", "Files\\App\\zarvel.exe"},
       "C:\\Program Files\\App\\zarvel.exe"},
      {{"zarvel-uri", "two  spaces", "kept"}, "two  spaces kept"},
      {{"zarvel-uri", "", "", "a"}, "  a"},
      {{"zarvel-uri", "a", ""}, "a "},
      {{"zarvel-uri", "%s%n", "--help"}, "%s%n --help"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(joinArguments(static_cast<int>(c.argv.size()), c.argv.data()), c.joined);
  }
}

}  // namespace
