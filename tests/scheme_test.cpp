// The scheme check, the registration and the write helpers against the
// in-memory registry: exact output, exact tree, no handle left open.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "registry/memory_registry.h"
#include "scheme/registration.h"
#include "scheme/registry_write.h"
#include "scheme/uri_scheme.h"
#include "tests/captured_stdout.h"

namespace {

using memory_registry::Operation;

// What one successful write of each of the four values prints.
const std::string kDescriptionWritten =
    "Success writing to Registry URL:Zarvel ProtocolSuccess closing key.";
const std::string kMarkerWritten = "Success writing to Registry Success closing key.";
const std::string kIconWritten = "Success writing to Registry zarvel.exe,1Success closing key.";
const std::string kCommandWritten =
    "Success writing to Registry \"C:\\Apps\\zarvel.exe\" \"%1\"Success closing key.";
const std::string kRegistered =
    kDescriptionWritten + kMarkerWritten + kIconWritten + kCommandWritten;
const std::string kRegistrationFailed = "Failed to register application in URI scheme";

// The registration's keys as the tree text shows them, level by level.
const std::string kSchemeKeyOnly = "zarvel\n";
const std::string kSchemeValues =
    "zarvel\n"
    "  @ = REG_SZ \"URL:Zarvel Protocol\\0\"\n"
    "  \"URL Protocol\" = REG_SZ \"\\0\"\n";
const std::string kIconKeyOnly = "zarvel\\DefaultIcon\n";
const std::string kIconValue = "zarvel\\DefaultIcon\n  @ = REG_SZ \"zarvel.exe,1\\0\"\n";
const std::string kCommandKeysOnly =
    "zarvel\\shell\n"
    "zarvel\\shell\\open\n"
    "zarvel\\shell\\open\\command\n";
const std::string kCommandValue = "  @ = REG_SZ \"\"C:\\Apps\\zarvel.exe\" \"%1\"\\0\"\n";
const std::string kCompleteTree = kSchemeValues + kIconValue + kCommandKeysOnly + kCommandValue;

const char kPath[] = "C:\\Apps\\zarvel.exe";
const char kCommandKey[] = "zarvel\\shell\\open\\command";

// The check reads the command key's default value into room for one
// character and its terminator.
const std::string kCommandRead =
    "RegQueryValueExW(<zarvel\\shell\\open\\command>, NULL, NULL, &type, &data, " +
    std::to_string(2 * sizeof(wchar_t)) + ") = 234\n";

void seedCompleteRegistration(const std::string& command) {
  memory_registry::seedValue("zarvel", "", REG_SZ, std::string("URL:Zarvel Protocol\0", 20));
  memory_registry::seedValue("zarvel", "URL Protocol", REG_SZ, std::string("\0", 1));
  memory_registry::seedValue("zarvel\\DefaultIcon", "", REG_SZ, std::string("zarvel.exe,1\0", 13));
  memory_registry::seedValue(kCommandKey, "", REG_SZ, command + '\0');
}

class SchemeTest : public testing::Test {
 protected:
  void SetUp() override { memory_registry::reset(); }
  // Whatever happened, every handle the system obtained is closed again.
  void TearDown() override { EXPECT_EQ(memory_registry::openHandleCount(), 0); }

  std::string check(const std::string& path) {
    return captureStdout([&] { checkUriQualifier(path); });
  }
};

TEST_F(SchemeTest, FirstRunMakesExactlyTheseCalls) {
  EXPECT_EQ(check(kPath), kRegistered);
  EXPECT_EQ(
      memory_registry::callsText(),
      "RegOpenKeyExW(HKEY_CLASSES_ROOT, L\"zarvel\", 0, 0x20019, &key) = 2\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"zarvel\", 0, NULL, 0, 0x20006, NULL, &key, NULL) = 0\n"
      "RegCloseKey(<zarvel>) = 0\n"
      "RegOpenKeyExA(HKEY_CLASSES_ROOT, \"zarvel\", 0, 0xf003f, &key) = 0\n"
      "RegSetValueExA(<zarvel>, NULL, 0, REG_SZ, \"URL:Zarvel Protocol\\0\", 20) = 0\n"
      "RegCloseKey(<zarvel>) = 0\n"
      "RegOpenKeyExA(HKEY_CLASSES_ROOT, \"zarvel\", 0, 0xf003f, &key) = 0\n"
      "RegSetValueExA(<zarvel>, \"URL Protocol\", 0, REG_SZ, \"\\0\", 1) = 0\n"
      "RegCloseKey(<zarvel>) = 0\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"zarvel\\DefaultIcon\", 0, NULL, 0, 0x20006, NULL, "
      "&key, NULL) = 0\n"
      "RegCloseKey(<zarvel\\DefaultIcon>) = 0\n"
      "RegOpenKeyExA(HKEY_CLASSES_ROOT, \"zarvel\\DefaultIcon\", 0, 0xf003f, &key) = 0\n"
      "RegSetValueExA(<zarvel\\DefaultIcon>, NULL, 0, REG_SZ, \"zarvel.exe,1\\0\", 13) = 0\n"
      "RegCloseKey(<zarvel\\DefaultIcon>) = 0\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"zarvel\\shell\\open\\command\", 0, NULL, 0, 0x20006, "
      "NULL, &key, NULL) = 0\n"
      "RegCloseKey(<zarvel\\shell\\open\\command>) = 0\n"
      "RegOpenKeyExA(HKEY_CLASSES_ROOT, \"zarvel\\shell\\open\\command\", 0, 0xf003f, &key) = 0\n"
      "RegSetValueExA(<zarvel\\shell\\open\\command>, NULL, 0, REG_SZ, \"\"C:\\Apps\\zarvel.exe\" "
      "\"%1\"\\0\", 26) = 0\n"
      "RegCloseKey(<zarvel\\shell\\open\\command>) = 0\n"
      "RegOpenKeyExW(HKEY_CLASSES_ROOT, L\"zarvel\\shell\\open\\command\", 0, 0x20019, &key) = "
      "0\n" +
          kCommandRead + "RegCloseKey(<zarvel\\shell\\open\\command>) = 0\n");
  EXPECT_EQ(memory_registry::treeText(), kCompleteTree);
}

// One row per state the check can find.
struct OutcomeCase {
  const char* name;
  std::function<void()> prepare;
  std::string expectedOutput;
  std::string expectedTree;
};

TEST_F(SchemeTest, OutcomeByStateFound) {
  const std::string otherCommand = "\"D:\\Other\\zarvel.exe\" \"%1\"";
  const std::string otherTree = kSchemeValues + kIconValue + kCommandKeysOnly +
                                "  @ = REG_SZ \"\"D:\\Other\\zarvel.exe\" \"%1\"\\0\"\n";
  const OutcomeCase cases[] = {
      {"nothing registered", [] {}, kRegistered, kCompleteTree},
      {"complete registration for another path", [&] { seedCompleteRegistration(otherCommand); },
       "", otherTree},
      {"command key without its command is replaced",
       [] { memory_registry::seedKey("zarvel\\shell\\open\\command"); }, kRegistered,
       kCompleteTree},
      {"empty command is replaced",
       [] { memory_registry::seedValue(kCommandKey, "", REG_SZ, std::string("\0", 1)); },
       kRegistered, kCompleteTree},
      {"command stored without any bytes is replaced",
       [] { memory_registry::seedValue(kCommandKey, "", REG_SZ, ""); }, kRegistered, kCompleteTree},
      // A value of another type is no command, whatever its bytes.
      {"command stored as a number is replaced",
       [] { memory_registry::seedValue(kCommandKey, "", REG_DWORD, std::string("\1\0\0\0", 4)); },
       kRegistered, kCompleteTree},
      {"command stored as binary is replaced",
       [&] { memory_registry::seedValue(kCommandKey, "", REG_BINARY, otherCommand); }, kRegistered,
       kCompleteTree},
      {"command stored as a list of strings is replaced",
       [] {
         memory_registry::seedValue(kCommandKey, "", REG_MULTI_SZ,
                                    std::string("\"D:\\Other\\zarvel.exe\"\0\"%1\"\0\0", 28));
       },
       kRegistered, kCompleteTree},
      // Written through the wide interface, one byte is not a whole character.
      {"command shorter than a character is replaced",
       [] { memory_registry::seedWideValue(kCommandKey, "", REG_SZ, "x"); }, kRegistered,
       kCompleteTree},
      {"command that cannot be read is replaced",
       [&] {
         seedCompleteRegistration(otherCommand);
         memory_registry::failCall(Operation::QueryValue, "zarvel\\shell\\open\\command",
                                   ERROR_ACCESS_DENIED);
       },
       kRegistered, kCompleteTree},
      {"expandable command counts as present",
       [] {
         memory_registry::seedValue(kCommandKey, "", REG_EXPAND_SZ,
                                    std::string("\"%ProgramFiles%\\zarvel.exe\" \"%1\"\0", 33));
       },
       "",
       kSchemeKeyOnly + kCommandKeysOnly +
           "  @ = REG_EXPAND_SZ \"\"%ProgramFiles%\\zarvel.exe\" \"%1\"\\0\"\n"},
      {"one-character expandable command counts as present",
       [] { memory_registry::seedValue(kCommandKey, "", REG_EXPAND_SZ, std::string("x\0", 2)); },
       "", kSchemeKeyOnly + kCommandKeysOnly + "  @ = REG_EXPAND_SZ \"x\\0\"\n"},
      {"scheme key left without its command key, with extras",
       [] {
         memory_registry::seedValue("zarvel", "", REG_SZ, std::string("stale\0", 6));
         memory_registry::seedValue("zarvel", "EditFlags", REG_DWORD, std::string("\2\0\0\0", 4));
         memory_registry::seedValue("zarvel\\shell\\edit\\command", "", REG_SZ, "x");
         memory_registry::seedKey("zarvel\\shell\\open");
       },
       kRegistered, kCompleteTree},
      {"scheme key that cannot be read is written over",
       [] {
         memory_registry::seedValue("zarvel", "Extra", REG_SZ, std::string("kept\0", 5));
         memory_registry::seedKey("zarvel\\shell\\open\\command");
         memory_registry::failCall(Operation::OpenKeyW, "zarvel", ERROR_ACCESS_DENIED);
       },
       kRegistered,
       "zarvel\n"
       "  @ = REG_SZ \"URL:Zarvel Protocol\\0\"\n"
       "  \"Extra\" = REG_SZ \"kept\\0\"\n"
       "  \"URL Protocol\" = REG_SZ \"\\0\"\n" +
           kIconValue + kCommandKeysOnly + kCommandValue},
  };
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    memory_registry::reset();
    c.prepare();
    EXPECT_EQ(check(kPath), c.expectedOutput);
    EXPECT_EQ(memory_registry::treeText(), c.expectedTree);
    EXPECT_EQ(memory_registry::openHandleCount(), 0);
  }
}

TEST_F(SchemeTest, CompleteRegistrationCostsTwoOpensTheCommandReadAndTheCloses) {
  seedCompleteRegistration("\"D:\\Other\\zarvel.exe\" \"%1\"");
  EXPECT_EQ(check(kPath), "");
  EXPECT_EQ(memory_registry::callsText(),
            "RegOpenKeyExW(HKEY_CLASSES_ROOT, L\"zarvel\", 0, 0x20019, &key) = 0\n"
            "RegCloseKey(<zarvel>) = 0\n"
            "RegOpenKeyExW(HKEY_CLASSES_ROOT, L\"zarvel\\shell\\open\\command\", 0, 0x20019, &key) "
            "= 0\n" +
                kCommandRead + "RegCloseKey(<zarvel\\shell\\open\\command>) = 0\n");
}

// A failure at each step of the registration. Call numbers count every
// registry call of the check from 1; a first run on an empty registry makes
// them in this order: 1 test for "zarvel"; 2-3 create "zarvel" and close;
// 4-6 open, store the description, close; 7-9 the same for the marker;
// 10-11 create DefaultIcon; 12-14 its icon; 15-16 create the command key;
// 17-19 the command. A failed create makes no close; a failed store still
// closes. After a failure come the command test (an open, and where it
// opens, the read of its command and a close) and the tree deletion, then
// the second attempt, whose calls are numbered from there.
struct StepFailure {
  int step;
  int firstAttemptCall;
  int secondAttemptCall;
  std::string printed;  // what the failed registration prints, the check's message included
  std::string treeLeft;
};

const StepFailure kStepFailures[] = {
    {1, 2, 5, "Failed to create 'zarvel' entry" + kRegistrationFailed, ""},
    {2, 5, 12,
     "Error writing to Registry URL:Zarvel ProtocolFailed to set new values in 'zarvel' key" +
         kRegistrationFailed,
     kSchemeKeyOnly},
    {3, 8, 18,
     kDescriptionWritten + "Error writing to Registry Failed to set new values in 'zarvel' key" +
         kRegistrationFailed,
     "zarvel\n  @ = REG_SZ \"URL:Zarvel Protocol\\0\"\n"},
    {4, 10, 21,
     kDescriptionWritten + kMarkerWritten + "Failed to create 'zarvel/DefaultIcon' entry" +
         kRegistrationFailed,
     kSchemeValues},
    {5, 13, 28,
     kDescriptionWritten + kMarkerWritten + "Error writing to Registry zarvel.exe,1" +
         kRegistrationFailed,
     kSchemeValues + kIconKeyOnly},
    {6, 15, 31,
     kDescriptionWritten + kMarkerWritten + kIconWritten +
         "Failed to create 'zarvel/shell/open/command' entry" + kRegistrationFailed,
     kSchemeValues + kIconValue},
    {7, 18, 40,
     kDescriptionWritten + kMarkerWritten + kIconWritten +
         "Error writing to Registry \"C:\\Apps\\zarvel.exe\" \"%1\""
         "Failed to set new values in 'zarvel' key" +
         kRegistrationFailed,
     kSchemeValues + kIconValue + kCommandKeysOnly},
};

TEST_F(SchemeTest, FailureInFirstAttemptIsRepairedBySecond) {
  for (const StepFailure& f : kStepFailures) {
    SCOPED_TRACE("step " + std::to_string(f.step));
    memory_registry::reset();
    memory_registry::failNthCall(f.firstAttemptCall, ERROR_ACCESS_DENIED);
    EXPECT_EQ(check(kPath), f.printed + kRegistered);
    EXPECT_EQ(memory_registry::treeText(), kCompleteTree);
    EXPECT_EQ(memory_registry::openHandleCount(), 0);
  }
}

TEST_F(SchemeTest, FailureInBothAttemptsIsReportedTwice) {
  for (const StepFailure& f : kStepFailures) {
    SCOPED_TRACE("step " + std::to_string(f.step));
    memory_registry::reset();
    memory_registry::failNthCall(f.firstAttemptCall, ERROR_ACCESS_DENIED);
    memory_registry::failNthCall(f.secondAttemptCall, ERROR_ACCESS_DENIED);
    EXPECT_EQ(check(kPath), f.printed + f.printed);
    EXPECT_EQ(memory_registry::treeText(), f.treeLeft);
    EXPECT_EQ(memory_registry::openHandleCount(), 0);
  }
}

TEST_F(SchemeTest, FailedDeletionStillLeadsToSecondAttempt) {
  memory_registry::seedKey("zarvel\\shell");
  memory_registry::failCall(Operation::DeleteTree, "zarvel", ERROR_ACCESS_DENIED);
  EXPECT_EQ(check(kPath), kRegistered);
  EXPECT_EQ(memory_registry::treeText(), kCompleteTree);
}

// Paths are taken as they are: never escaped, never used as a format.
TEST_F(SchemeTest, PathIsStoredAndPrintedUnchanged) {
  struct PathCase {
    std::string path;
    std::string command;
  };
  const PathCase cases[] = {
      {"C:\\Program Files\\App\\zarvel.exe", "\"C:\\Program Files\\App\\zarvel.exe\" \"%1\""},
      {"C:\\100%\\%s%n%x\\z.exe", "\"C:\\100%\\%s%n%x\\z.exe\" \"%1\""},
      {"C:\\a \"b\"\\z.exe", "\"C:\\a \"b\"\\z.exe\" \"%1\""},
      {"", "\"\" \"%1\""},
      // Polish letters in UTF-8; the d is \x64, as a plain d would extend the escape
      // before it.
      {"C:\\\xc5\x81\xc3\xb3\x64\xc5\xba\\z.exe",
       "\"C:\\\xc5\x81\xc3\xb3\x64\xc5\xba\\z.exe\" \"%1\""},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    memory_registry::reset();
    EXPECT_EQ(check(c.path), kDescriptionWritten + kMarkerWritten + kIconWritten +
                                 "Success writing to Registry " + c.command +
                                 "Success closing key.");
    EXPECT_EQ(memory_registry::treeText(), kSchemeValues + kIconValue + kCommandKeysOnly +
                                               "  @ = REG_SZ \"" + c.command + "\\0\"\n");
  }
}

class WriteHelperTest : public SchemeTest {};

TEST_F(WriteHelperTest, WriteReportsEachOutcome) {
  struct WriteCase {
    const char* name;
    Operation failing;  // CloseKey with ERROR_SUCCESS means: no fault
    LONG error;
    bool expectedResult;
    std::string expectedOutput;
    std::string expectedTree;
  };
  const WriteCase cases[] = {
      {"stored", Operation::CloseKey, ERROR_SUCCESS, true,
       "Success writing to Registry a%nbSuccess closing key.",
       "k\n  \"Name\" = REG_SZ \"a%nb\\0\"\n"},
      {"open fails", Operation::OpenKeyA, ERROR_ACCESS_DENIED, false,
       "Error writing to Registry a%nb", "k\n"},
      {"store fails", Operation::SetValue, ERROR_ACCESS_DENIED, false,
       "Error writing to Registry a%nb", "k\n"},
      {"close fails", Operation::CloseKey, ERROR_INVALID_HANDLE, true,
       "Success writing to Registry a%nbError closing key.",
       "k\n  \"Name\" = REG_SZ \"a%nb\\0\"\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    memory_registry::reset();
    memory_registry::seedKey("k");
    if (c.error != ERROR_SUCCESS) memory_registry::failCall(c.failing, "k", c.error);
    bool result = false;
    EXPECT_EQ(captureStdout([&] { result = writeToRegistry("k", "Name", "a%nb"); }),
              c.expectedOutput);
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(memory_registry::treeText(), c.expectedTree);
    EXPECT_EQ(memory_registry::openHandleCount(), 0);
  }
}

TEST_F(WriteHelperTest, WriteNeverCreatesTheKey) {
  EXPECT_EQ(captureStdout([] { EXPECT_FALSE(writeToRegistry("missing", nullptr, "x")); }),
            "Error writing to Registry x");
  EXPECT_EQ(memory_registry::treeText(), "");
}

TEST_F(WriteHelperTest, DefaultValueIsReplaced) {
  memory_registry::seedValue("k", "", REG_SZ, std::string("old\0", 4));
  EXPECT_EQ(captureStdout([] { EXPECT_TRUE(writeToRegistry("k", nullptr, "")); }),
            "Success writing to Registry Success closing key.");
  EXPECT_EQ(memory_registry::treeText(), "k\n  @ = REG_SZ \"\\0\"\n");
}

TEST_F(WriteHelperTest, CreateMakesEveryLevelSilently) {
  memory_registry::seedValue("a", "v", REG_SZ, "x");
  EXPECT_EQ(captureStdout([] {
              EXPECT_TRUE(createRegistryKey("a\\b\\c"));
              EXPECT_TRUE(createRegistryKey("A\\B"));
            }),
            "");
  EXPECT_EQ(memory_registry::treeText(), "a\n  \"v\" = REG_SZ \"x\"\na\\b\na\\b\\c\n");
  memory_registry::failCall(Operation::CreateKey, "d", ERROR_ACCESS_DENIED);
  EXPECT_EQ(captureStdout([] { EXPECT_FALSE(createRegistryKey("d")); }), "");
}

TEST(OpenCommandTest, WrapsPathInQuotesThenAppendsPlaceholder) {
  EXPECT_EQ(buildOpenCommand("C:\\Apps\\zarvel.exe"), "\"C:\\Apps\\zarvel.exe\" \"%1\"");
  EXPECT_EQ(buildOpenCommand(""), "\"\" \"%1\"");
  EXPECT_EQ(buildOpenCommand(std::string("a\0b", 3)), std::string("\"a\0b\" \"%1\"", 10));
}

}  // namespace
