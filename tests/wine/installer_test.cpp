// The example installers, built by installer-test.sh with this build's
// program and the URI receiver standing in for the application: installed
// silently, the URI started through the shell, then uninstalled.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/wine/windows_process.h"
#include "tests/wine/wine_suite.h"

namespace {

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Where both installers put the application: "Program Files\Zarvel" of this
// process's bitness, which is also the installer's.
std::wstring installFolder() {
  wchar_t programFiles[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  return std::wstring(programFiles, n) + L"\\Zarvel";
}

// Installs with `install`, checks the registration, the shell and the files,
// then uninstalls with `uninstall` and checks that nothing is left.
void checkInstallerFlow(const std::wstring& install, const std::wstring& uninstall) {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
  const std::wstring folder = installFolder();
  ASSERT_FALSE(exists(folder)) << utf8(folder);

  ProgramRun run = runCommandLine(install);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_TRUE(exists(folder + L"\\zarvel-uri.exe"));
  const std::string application = utf8(folder) + "\\zarvel.exe";
  EXPECT_EQ(schemeTree(), completeTree("\"" + application + "\" \"%1\""));
  EXPECT_EQ(receivedThroughShell(L"zarvel:open/item?id=7"), "zarvel:open/item?id=7\n");

  run = runCommandLine(uninstall);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  // An NSIS uninstaller hands its work to a copy of itself and returns at
  // once; wait, within bounds, for that copy to remove the folder.
  for (int i = 0; i < 600 && exists(folder); ++i) Sleep(100);
  EXPECT_FALSE(exists(folder)) << "the uninstaller left " << utf8(folder);
  EXPECT_EQ(schemeTree(), "");
}

// Where installer-test.sh puts the installer it built, quoted.
std::wstring quotedInstallerPath(const wchar_t* file) {
  return L"\"" + moduleDirectory() + L"\\installers\\" + file + L"\"";
}

TEST(InstallerTest, Nsis) {
  checkInstallerFlow(quotedInstallerPath(L"nsis\\zarvel-setup.exe") + L" /S",
                     L"\"" + installFolder() + L"\\uninstall.exe\" /S");
}

TEST(InstallerTest, Msi) {
  const std::wstring package = quotedInstallerPath(L"msi\\zarvel.msi");
  checkInstallerFlow(L"msiexec.exe /i " + package + L" /qn",
                     L"msiexec.exe /x " + package + L" /qn");
}

}  // namespace
