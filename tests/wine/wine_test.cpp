// The Windows program against Wine's registry and shell: what it prints,
// what it leaves below HKEY_CLASSES_ROOT (read back through the registry
// API), what the shell then starts, what its image carries, and its export
// called from another program.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/captured_stdout.h"
#include "tests/wine/mapped_image.h"
#include "tests/wine/windows_process.h"
#include "tests/wine/wine_suite.h"

namespace {

const std::string kRegistrationPrefix =
    "Success writing to Registry URL:Zarvel ProtocolSuccess closing key."
    "Success writing to Registry Success closing key."
    "Success writing to Registry zarvel.exe,1Success closing key.";

std::string registeredOutput(const std::string& command) {
  return kRegistrationPrefix + "Success writing to Registry " + command + "Success closing key.";
}

// The program under test: this build's, or the one ZARVEL_PROGRAM names (a
// signed copy, say).
std::wstring programPath() {
  const std::wstring named = environment(L"ZARVEL_PROGRAM");
  return named.empty() ? moduleDirectory() + L"\\zarvel-uri.exe" : named;
}

void seedValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
               DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void seedString(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  seedValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1) * 2);
}

// ---- running programs ----

ProgramRun runProgram(const std::wstring& arguments) {
  return runCommandLine(L"\"" + programPath() + L"\"" +
                        (arguments.empty() ? L"" : L" " + arguments));
}

class WineTest : public testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel"); }
};

TEST_F(WineTest, FirstRunEchoesAndWritesTheRegistration) {
  ProgramRun run = runProgram(L"C:\\Apps\\zarvel.exe");
  // The C runtime writes the echo's line break as CR LF.
  EXPECT_EQ(run.output,
            "C:\\Apps\\zarvel.exe\r\n" + registeredOutput("\"C:\\Apps\\zarvel.exe\" \"%1\""));
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(schemeTree(), completeTree("\"C:\\Apps\\zarvel.exe\" \"%1\""));
}

// What a run does over each state it can find: a complete registration is
// left alone whatever it names; anything else, down to a command key whose
// command a failed or ended run never wrote, is replaced whole.
TEST_F(WineTest, RunOverEachStateFound) {
  const std::string written = "\"C:\\Apps\\zarvel.exe\" \"%1\"";
  const std::wstring command = L"zarvel\\shell\\open\\command";
  const auto seedLayoutAboveCommand = [] {
    seedString(L"zarvel", nullptr, L"URL:Zarvel Protocol");
    seedString(L"zarvel", L"URL Protocol", L"");
    seedString(L"zarvel\\DefaultIcon", nullptr, L"zarvel.exe,1");
  };
  const struct {
    const char* name;
    std::function<void()> prepare;
    std::string treeAfter;  // the registration written, or the one found
  } cases[] = {
      {"complete, naming another application",
       [&] {
         seedLayoutAboveCommand();
         seedString(command, nullptr, L"\"C:\\Other\\other.exe\" \"%1\"");
       },
       completeTree("\"C:\\Other\\other.exe\" \"%1\"")},
      {"written by an earlier run for another path",
       [] { ASSERT_EQ(runProgram(L"D:\\Earlier\\zarvel.exe").exitCode, 0u); },
       completeTree("\"D:\\Earlier\\zarvel.exe\" \"%1\"")},
      {"command key without a value",
       [&] {
         seedLayoutAboveCommand();
         HKEY key = nullptr;
         ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, command.c_str(), 0, nullptr, 0, KEY_WRITE,
                                   nullptr, &key, nullptr),
                   ERROR_SUCCESS);
         RegCloseKey(key);
       },
       completeTree(written)},
      {"empty command",
       [&] {
         seedLayoutAboveCommand();
         seedString(command, nullptr, L"");
       },
       completeTree(written)},
      {"command stored as a number",
       [&] {
         seedLayoutAboveCommand();
         const DWORD number = 1;
         seedValue(command, nullptr, REG_DWORD, &number, sizeof number);
       },
       completeTree(written)},
      {"scheme key left without its command key, with extras",
       [] {
         seedString(L"zarvel", nullptr, L"stale");
         const DWORD flags = 2;
         seedValue(L"zarvel", L"EditFlags", REG_DWORD, &flags, sizeof flags);
         seedString(L"zarvel\\shell\\edit\\command", nullptr, L"notepad.exe \"%1\"");
         seedString(L"zarvel\\shell\\open", L"Extra", L"x");
       },
       completeTree(written)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
    c.prepare();
    const bool leftAlone = c.treeAfter != completeTree(written);
    if (leftAlone) {
      ASSERT_EQ(schemeTree(), c.treeAfter);
    }
    ProgramRun run = runProgram(L"C:\\Apps\\zarvel.exe");
    EXPECT_EQ(run.output,
              "C:\\Apps\\zarvel.exe\r\n" + (leftAlone ? "" : registeredOutput(written)));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(schemeTree(), c.treeAfter);
  }
}

TEST_F(WineTest, NoArgumentsPrintsAnEmptyLineAndTouchesNothing) {
  ProgramRun run = runProgram(L"");
  EXPECT_EQ(run.output, "\r\n");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(schemeTree(), "");
}

TEST_F(WineTest, CommandLineBecomesOnePath) {
  const struct {
    const wchar_t* arguments;
    std::string path;     // as echoed, UTF-8
    std::string command;  // as read back, UTF-8
  } cases[] = {
      {L"C:\\Program Files\\App\\zarvel.exe", "C:\\Program Files\\App\\zarvel.exe",
       "\"C:\\Program Files\\App\\zarvel.exe\" \"%1\""},
      {L"\"C:\\two  spaces\\zarvel.exe\"", "C:\\two  spaces\\zarvel.exe",
       "\"C:\\two  spaces\\zarvel.exe\" \"%1\""},
      {L"\"\"", "", "\"\" \"%1\""},
      {L"C:\\100%\\%s%n%x.exe", "C:\\100%\\%s%n%x.exe", "\"C:\\100%\\%s%n%x.exe\" \"%1\""},
      {L"\"C:\\a \\\"b\\\"\\z.exe\"", "C:\\a \"b\"\\z.exe", "\"C:\\a \"b\"\\z.exe\" \"%1\""},
      {L"say \\\"hi\\\"", "say \"hi\"", "\"say \"hi\"\" \"%1\""},
      {L"C:\\tab\tsplit.exe", "C:\\tab split.exe", "\"C:\\tab split.exe\" \"%1\""},
      {L"\"C:\\tab\tkept.exe\"", "C:\\tab\tkept.exe", "\"C:\\tab\tkept.exe\" \"%1\""},
      // Outside every legacy code page at once: the manifest's UTF-8 code
      // page carries it through the narrow interface intact.
      {L"C:\\\u0141\u00f3d\u017a\\\u65e5\u672c\\zarvel.exe",
       "C:\\\xc5\x81\xc3\xb3"
       "d\xc5\xba\\\xe6\x97\xa5\xe6\x9c\xac\\zarvel.exe",
       "\"C:\\\xc5\x81\xc3\xb3"
       "d\xc5\xba\\\xe6\x97\xa5\xe6\x9c\xac\\zarvel.exe\" \"%1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
    ProgramRun run = runProgram(c.arguments);
    EXPECT_EQ(run.output, c.path + "\r\n" + registeredOutput(c.command));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(schemeTree(), completeTree(c.command));
  }
}

// A path as long as a Windows command line allows (32 767 characters with
// its terminating zero) goes through whole.
TEST_F(WineTest, PathAtTheCommandLineLimit) {
  const std::wstring prefix = L"\"" + programPath() + L"\" C:\\";
  const size_t filler = 32766 - prefix.size() - 4;
  const std::string path = "C:\\" + std::string(filler, 'x') + ".exe";
  ProgramRun run = runCommandLine(prefix + std::wstring(filler, L'x') + L".exe");
  EXPECT_EQ(run.output, path + "\r\n" + registeredOutput("\"" + path + "\" \"%1\""));
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(schemeTree(), completeTree("\"" + path + "\" \"%1\""));
}

// Copies started at once on an empty registry race each other's deletions;
// the last deletion's registration runs unopposed, so every round ends in a
// complete registration naming one of the paths.
TEST_F(WineTest, ConcurrentRunsEndInOneCompleteRegistration) {
  const int kRounds = 10;
  const int kCopies = 4;
  HANDLE nul = openNul();
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
    std::vector<PROCESS_INFORMATION> processes;
    for (int copy = 0; copy < kCopies; ++copy) {
      PROCESS_INFORMATION process;
      ASSERT_TRUE(startProcess(
          L"\"" + programPath() + L"\" C:\\Copy" + std::to_wstring(copy) + L"\\zarvel.exe", nul,
          &process));
      processes.push_back(process);
    }
    for (PROCESS_INFORMATION& process : processes) EXPECT_EQ(finishProcess(&process), 0u);
    const std::string tree = schemeTree();
    bool namesOne = false;
    for (int copy = 0; copy < kCopies; ++copy) {
      namesOne = namesOne || tree == completeTree("\"C:\\Copy" + std::to_string(copy) +
                                                  "\\zarvel.exe\" \"%1\"");
    }
    EXPECT_TRUE(namesOne) << tree;
  }
  CloseHandle(nul);
}

// What the application receives for a URI handed to the shell. The open
// command quotes "%1", so a URI that holds a double quote ends that quoting
// early and can arrive split into several arguments.
TEST_F(WineTest, ShellStartsTheRegisteredApplicationWithTheUri) {
  ASSERT_EQ(runProgram(L"\"" + moduleDirectory() + L"\\uri_receiver.exe\"").exitCode, 0u);
  const struct {
    const wchar_t* startArguments;  // after start.exe /wait
    std::string received;           // the receiver's arguments, one per line
  } cases[] = {
      // Percent-escapes arrive as they were sent.
      {L"zarvel:open/item?id=42&x=%20y", "zarvel:open/item?id=42&x=%20y\n"},
      // start.exe hands the URI zarvel:say?text="hi there" to the shell; the
      // command line becomes "...\uri_receiver.exe" "zarvel:say?text="hi there"".
      {L"\"zarvel:say?text=\\\"hi there\\\"\"", "zarvel:say?text=hi\nthere\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(utf8(c.startArguments));
    EXPECT_EQ(receivedThroughShell(c.startArguments), c.received);
  }
}

// ---- the image ----

TEST(WindowsImageTest, ManifestAsksForNoElevationAndUtf8) {
  HMODULE image = LoadLibraryExW(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(image, resource)));
  std::string manifest(text, SizeofResource(image, resource));
  FreeLibrary(image);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos);
  EXPECT_NE(manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/"
                          "WindowsSettings\">UTF-8</activeCodePage>"),
            std::string::npos);
}

// Another program calls checkUriQualifier the one way that works: LoadLibrary
// neither binds an executable's imports nor runs its constructors, so the
// caller maps the image and binds them itself, finds the function by its
// decorated name or at ordinal 1, and calls it with a std::string of the same
// toolchain. The stack guard keeps its non-zero default.
TEST_F(WineTest, ExportCalledThroughImportsTheCallerBound) {
  MappedImage image = mapImage(programPath());
  ASSERT_EQ(image.error, "");
  const auto byName = exportByName(
      image, "_Z17checkUriQualifierNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byName, exportByOrdinal(image, 1));
  EXPECT_EQ(exportByOrdinal(image, 2), nullptr);
  EXPECT_EQ(exportByName(image, "registerUriQualifier"), nullptr);
  const auto check = reinterpret_cast<void (*)(std::string)>(reinterpret_cast<void*>(byName));
  EXPECT_EQ(captureStdout([&] { check("C:\\Apps\\zarvel.exe"); }),
            registeredOutput("\"C:\\Apps\\zarvel.exe\" \"%1\""));
  EXPECT_EQ(schemeTree(), completeTree("\"C:\\Apps\\zarvel.exe\" \"%1\""));
  EXPECT_EQ(captureStdout([&] { check("D:\\Other\\zarvel.exe"); }), "");
  unmapImage(&image);
}

}  // namespace
