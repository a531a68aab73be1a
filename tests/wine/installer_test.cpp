// The example installers, built by installer-test.sh with this build's
// program and the URI receiver standing in for the application: installed
// silently, upgraded, the URI started through the shell, then uninstalled.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/wine/windows_process.h"
#include "tests/wine/wine_suite.h"

namespace {

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's size, or -1 when it is missing.
std::int64_t fileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// "Program Files\<name>" of this process's bitness, which is also the
// installer's.
std::wstring programFolder(const std::wstring& name) {
  return environment(L"ProgramFiles") + L"\\" + name;
}

std::wstring stringValue(HKEY key, const wchar_t* name) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return L"";
  }
  return std::wstring(data, size / sizeof(wchar_t) - 1);
}

// The installed-programs entries named "Zarvel", in this process's registry
// view (the installer's): their DisplayVersion and the data of `command`.
struct ProgramsEntry {
  std::string version;
  std::wstring command;
};

std::vector<ProgramsEntry> zarvelEntries(const wchar_t* command) {
  std::vector<ProgramsEntry> entries;
  HKEY uninstall;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                    0, KEY_READ, &uninstall) != ERROR_SUCCESS) {
    return entries;
  }
  wchar_t name[256];
  for (DWORD i = 0, n = 256;
       RegEnumKeyExW(uninstall, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, n = 256) {
    HKEY entry;
    if (RegOpenKeyExW(uninstall, name, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
    if (stringValue(entry, L"DisplayName") == L"Zarvel") {
      entries.push_back({utf8(stringValue(entry, L"DisplayVersion")), stringValue(entry, command)});
    }
    RegCloseKey(entry);
  }
  RegCloseKey(uninstall);
  return entries;
}

struct Installer {
  const wchar_t* engine;        // the folder below "installers" it was built in
  std::wstring installEarlier;  // the earlier version, into the default folder
  std::wstring installLater;    // this version, into laterFolder
  std::wstring laterFolder;
  const wchar_t* uninstallValue;  // the entry's value that uninstalls
  const wchar_t* quietSwitch;     // added to it, so that it runs silently
  // Installing again replaces a registration that names another application.
  bool replacesOtherRegistration;
};

// The registration that names the application in `folder`.
std::string registrationFor(const std::wstring& folder) {
  return completeTree("\"" + utf8(folder) + "\\zarvel.exe\" \"%1\"");
}

// Where installer-test.sh built an installer for the version that
// `versionVariable` names.
std::wstring stage(const wchar_t* engine, const wchar_t* versionVariable) {
  return moduleDirectory() + L"\\installers\\" + engine + L"\\" + environment(versionVariable);
}

// That stage's installer `file`, quoted for a command line.
std::wstring quotedInstaller(const wchar_t* engine, const wchar_t* versionVariable,
                             const wchar_t* file) {
  return L"\"" + stage(engine, versionVariable) + L"\\" + file + L"\"";
}

// An application's life: installs the earlier version, upgrades to this one,
// checks the registration, the shell, the one entry and the files, installs
// this version again over a deleted scheme (and, where the installer replaces
// it, over one naming another application), then uninstalls through the
// entry and checks that nothing is left.
void checkUpgradeFlow(const Installer& installer) {
  const std::wstring& laterFolder = installer.laterFolder;
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
  const std::wstring earlierFolder = programFolder(L"Zarvel");
  ASSERT_FALSE(exists(earlierFolder)) << utf8(earlierFolder);
  ASSERT_FALSE(exists(laterFolder)) << utf8(laterFolder);
  ASSERT_TRUE(zarvelEntries(installer.uninstallValue).empty());
  // The log shows each step as it ends: whether its checks held, and its time.
  const testing::TestResult& result =
      *testing::UnitTest::GetInstance()->current_test_info()->result();
  int failuresBefore = result.total_part_count();
  ULONGLONG stepStart = GetTickCount64();
  const auto stepDone = [&](const char* step) {
    const ULONGLONG now = GetTickCount64();
    std::printf("%s %s (%.1f s)\n", result.total_part_count() > failuresBefore ? "FAILED" : "ok",
                step, static_cast<double>(now - stepStart) / 1000);
    stepStart = now;
    failuresBefore = result.total_part_count();
  };

  ProgramRun run = runCommandLine(installer.installEarlier);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(schemeTree(), registrationFor(earlierFolder));
  stepDone("1. the earlier version installed and registered");

  run = runCommandLine(installer.installLater);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(schemeTree(), registrationFor(laterFolder));
  stepDone("2. this version installed, registered for its own folder");
  EXPECT_EQ(receivedThroughShell(L"zarvel:open/item?id=7"), "zarvel:open/item?id=7\n");
  stepDone("3. start zarvel:open/item?id=7 reached this version's application");
  if (laterFolder != earlierFolder) {
    EXPECT_FALSE(exists(earlierFolder)) << "the upgrade left " << utf8(earlierFolder);
  }
  EXPECT_EQ(fileSize(laterFolder + L"\\zarvel.exe"),
            fileSize(stage(installer.engine, L"ZARVEL_VERSION") + L"\\zarvel.exe"))
      << "the application is not this version's";
  std::vector<ProgramsEntry> entries = zarvelEntries(installer.uninstallValue);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].version, utf8(environment(L"ZARVEL_VERSION")));
  stepDone("4. one installed-programs entry, this version's; the earlier files gone");

  // Running this version's installer again puts back a scheme that went.
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
  run = runCommandLine(installer.installLater);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(schemeTree(), registrationFor(laterFolder));
  entries = zarvelEntries(installer.uninstallValue);
  ASSERT_EQ(entries.size(), 1u);
  stepDone("5. the scheme deleted, this version installed again: the scheme is back");
  if (installer.replacesOtherRegistration) {
    // As the program leaves it when run by hand from elsewhere; it leaves a
    // complete registration alone, so the installer must remove this one.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"zarvel");
    runCommandLine(L"\"" + moduleDirectory() + L"\\zarvel-uri.exe\" C:\\Elsewhere\\zarvel.exe");
    ASSERT_EQ(schemeTree(), registrationFor(L"C:\\Elsewhere"));
    run = runCommandLine(installer.installLater);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(schemeTree(), registrationFor(laterFolder));
    stepDone("5b. installed again over a scheme naming another application: it names this one");
  }

  run = runCommandLine(entries[0].command + installer.quietSwitch);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  // An NSIS or Inno uninstaller hands its work to a copy of itself and
  // returns at once; wait, within bounds, for that copy to remove the folder.
  for (int i = 0; i < 600 && exists(laterFolder); ++i) Sleep(100);
  EXPECT_FALSE(exists(laterFolder)) << "the uninstaller left " << utf8(laterFolder);
  EXPECT_TRUE(zarvelEntries(installer.uninstallValue).empty());
  EXPECT_EQ(schemeTree(), "");
  stepDone("6. uninstalled through the entry: no folder, no entry, no scheme");
}

TEST(InstallerTest, Nsis) {
  const std::wstring laterFolder = programFolder(L"Zarvel Next");
  checkUpgradeFlow(
      {L"nsis", quotedInstaller(L"nsis", L"ZARVEL_EARLIER_VERSION", L"zarvel-setup.exe") + L" /S",
       quotedInstaller(L"nsis", L"ZARVEL_VERSION", L"zarvel-setup.exe") + L" /S /D=" + laterFolder,
       laterFolder, L"QuietUninstallString", L"", true});
}

// Inno's uninstaller, like NSIS's, returns before its copy has done the work.
TEST(InstallerTest, Inno) {
  const std::wstring laterFolder = programFolder(L"Zarvel Next");
  const std::wstring silent = L" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART";
  checkUpgradeFlow(
      {L"inno", quotedInstaller(L"inno", L"ZARVEL_EARLIER_VERSION", L"zarvel-setup.exe") + silent,
       quotedInstaller(L"inno", L"ZARVEL_VERSION", L"zarvel-setup.exe") + silent + L" \"/DIR=" +
           laterFolder + L"\"",
       laterFolder, L"QuietUninstallString", L"", true});
}

// Into the same folder: Wine's msiexec, uninstalling, forgets a folder that
// the command line set when installing. Installing the same version again is
// a maintenance run, which keeps a complete registration, whatever it names.
TEST(InstallerTest, Msi) {
  checkUpgradeFlow(
      {L"msi",
       L"msiexec.exe /i " + quotedInstaller(L"msi", L"ZARVEL_EARLIER_VERSION", L"zarvel.msi") +
           L" /qn",
       L"msiexec.exe /i " + quotedInstaller(L"msi", L"ZARVEL_VERSION", L"zarvel.msi") + L" /qn",
       programFolder(L"Zarvel"), L"UninstallString", L" /qn", false});
}

}  // namespace
