// The example installers, built by installer-test.sh with this build's
// program and the URI receiver standing in for the application: installed
// silently, upgraded, the URI started through the shell, then uninstalled;
// uninstalled after another application claimed the scheme; installed and
// uninstalled for the current user only. Wine 8's HKEY_CLASSES_ROOT is the
// machine's classes alone, so a per-user scheme is checked in the registry,
// below HKEY_CURRENT_USER\Software\Classes, not through the shell.
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

std::vector<ProgramsEntry> zarvelEntries(const wchar_t* command, HKEY root = HKEY_LOCAL_MACHINE) {
  std::vector<ProgramsEntry> entries;
  HKEY uninstall;
  if (RegOpenKeyExW(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0, KEY_READ,
                    &uninstall) != ERROR_SUCCESS) {
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
  std::wstring installForUser;    // this version, for the current user only
  HKEY userEntryRoot;             // where that installation's entry goes
  const wchar_t* uninstallValue;  // the entry's value that uninstalls
  const wchar_t* quietSwitch;     // added to it, so that it runs silently
  // Installing again replaces a registration that names another application.
  bool replacesOtherRegistration;
};

// Where each scope keeps the scheme: the machine's classes, which Wine's HKCR
// is, or the user's.
struct Scope {
  HKEY classesRoot;
  const wchar_t* classes;
};
const Scope kMachine{HKEY_CLASSES_ROOT, L""};
const Scope kUser{HKEY_CURRENT_USER, L"Software\\Classes"};

std::string schemeTreeOf(const Scope& scope) {
  return schemeTreeBelow(scope.classesRoot, scope.classes);
}

void deleteScheme(const Scope& scope) {
  const std::wstring classes = scope.classes;
  RegDeleteTreeW(scope.classesRoot, (classes.empty() ? L"zarvel" : classes + L"\\zarvel").c_str());
}

// Writes the four values of a registration with this open command, as
// another application's installer would.
void claimScheme(const Scope& scope, const std::wstring& command) {
  const std::wstring classes = scope.classes;
  const std::wstring key = classes.empty() ? L"zarvel" : classes + L"\\zarvel";
  const struct {
    std::wstring subkey;
    const wchar_t* name;
    std::wstring data;
  } values[] = {{key, nullptr, L"URL:Zarvel Protocol"},
                {key, L"URL Protocol", L""},
                {key + L"\\DefaultIcon", nullptr, L"zarvel.exe,1"},
                {key + L"\\shell\\open\\command", nullptr, command}};
  for (const auto& v : values) {
    ASSERT_EQ(RegSetKeyValueW(scope.classesRoot, v.subkey.c_str(), v.name, REG_SZ, v.data.c_str(),
                              static_cast<DWORD>((v.data.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS)
        << utf8(v.subkey);
  }
}

// The current user's programs folder, where per-user installations go.
std::wstring userProgramFolder(const std::wstring& name) {
  return environment(L"LOCALAPPDATA") + L"\\Programs\\" + name;
}

// The log shows each step as it ends: whether its checks held, and its time.
struct StepLog {
  const testing::TestResult& result =
      *testing::UnitTest::GetInstance()->current_test_info()->result();
  int failuresBefore = result.total_part_count();
  ULONGLONG start = GetTickCount64();

  void done(const char* step) {
    const ULONGLONG now = GetTickCount64();
    std::printf("%s %s (%.1f s)\n", result.total_part_count() > failuresBefore ? "FAILED" : "ok",
                step, static_cast<double>(now - start) / 1000);
    start = now;
    failuresBefore = result.total_part_count();
  }
};

// Runs the entry's own command, silently. An NSIS or Inno uninstaller hands
// its work to a copy of itself and returns at once; waits, within bounds, for
// that copy to remove `folder`.
void uninstallThrough(const ProgramsEntry& entry, const Installer& installer,
                      const std::wstring& folder) {
  const ProgramRun run = runCommandLine(entry.command + installer.quietSwitch);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  for (int i = 0; i < 600 && exists(folder); ++i) Sleep(100);
  EXPECT_FALSE(exists(folder)) << "the uninstaller left " << utf8(folder);
}

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
  StepLog log;
  const auto stepDone = [&](const char* step) { log.done(step); };

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

  uninstallThrough(entries[0], installer, laterFolder);
  EXPECT_TRUE(zarvelEntries(installer.uninstallValue).empty());
  EXPECT_EQ(schemeTree(), "");
  stepDone("6. uninstalled through the entry: no folder, no entry, no scheme");
}

// Installs this version in `scope` (into `folder`), lets another application
// claim the scheme there, then uninstalls: the other application's
// registration must stay exactly as it was.
void checkOtherClaimsFlow(const Installer& installer, const Scope& scope, HKEY entryRoot,
                          const std::wstring& install, const std::wstring& folder) {
  deleteScheme(scope);
  ASSERT_FALSE(exists(folder)) << utf8(folder);
  ASSERT_TRUE(zarvelEntries(installer.uninstallValue, entryRoot).empty());
  StepLog log;

  ProgramRun run = runCommandLine(install);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  ASSERT_EQ(schemeTreeOf(scope), registrationFor(folder));
  log.done("1. installed and registered");

  claimScheme(scope, L"\"C:\\Other\\other.exe\" \"%1\"");
  const std::string claimed = schemeTreeOf(scope);
  ASSERT_EQ(claimed, completeTree("\"C:\\Other\\other.exe\" \"%1\""));
  log.done("2. another application claimed zarvel");

  const std::vector<ProgramsEntry> entries = zarvelEntries(installer.uninstallValue, entryRoot);
  ASSERT_EQ(entries.size(), 1u);
  uninstallThrough(entries[0], installer, folder);
  EXPECT_TRUE(zarvelEntries(installer.uninstallValue, entryRoot).empty());
  EXPECT_EQ(schemeTreeOf(scope), claimed);
  log.done("3. uninstalled: the other application's registration is as it was");
  deleteScheme(scope);
}

// Installs this version for the current user only, over a machine
// registration that names the very same path, then uninstalls it: the
// per-user scheme and entry come and go, the machine's scheme stays.
void checkPerUserFlow(const Installer& installer) {
  const std::wstring folder = userProgramFolder(L"Zarvel");
  ASSERT_NE(environment(L"LOCALAPPDATA"), L"");
  deleteScheme(kUser);
  deleteScheme(kMachine);
  ASSERT_FALSE(exists(folder)) << utf8(folder);
  claimScheme(kMachine, L"\"" + folder + L"\\zarvel.exe\" \"%1\"");
  const std::string machine = schemeTreeOf(kMachine);
  ASSERT_EQ(machine, registrationFor(folder));
  StepLog log;

  ProgramRun run = runCommandLine(installer.installForUser);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_EQ(schemeTreeOf(kUser), registrationFor(folder));
  EXPECT_EQ(schemeTreeOf(kMachine), machine);
  EXPECT_EQ(fileSize(folder + L"\\zarvel.exe"),
            fileSize(stage(installer.engine, L"ZARVEL_VERSION") + L"\\zarvel.exe"));
  if (installer.userEntryRoot != HKEY_LOCAL_MACHINE) {
    EXPECT_TRUE(zarvelEntries(installer.uninstallValue).empty()) << "an entry below HKLM";
  }
  const std::vector<ProgramsEntry> entries =
      zarvelEntries(installer.uninstallValue, installer.userEntryRoot);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].version, utf8(environment(L"ZARVEL_VERSION")));
  log.done("1. installed for the user: the scheme and one entry below HKCU; HKCR as it was");

  uninstallThrough(entries[0], installer, folder);
  EXPECT_TRUE(zarvelEntries(installer.uninstallValue, installer.userEntryRoot).empty());
  EXPECT_EQ(schemeTreeOf(kUser), "");
  EXPECT_EQ(schemeTreeOf(kMachine), machine);
  log.done("2. uninstalled: no folder, no entry, no scheme below HKCU; HKCR as it was");
  deleteScheme(kMachine);
}

Installer installerFor(const std::wstring& engine) {
  const std::wstring silentInno = L" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART";
  if (engine == L"nsis") {
    const std::wstring setup = quotedInstaller(L"nsis", L"ZARVEL_VERSION", L"zarvel-setup.exe");
    return {L"nsis",
            quotedInstaller(L"nsis", L"ZARVEL_EARLIER_VERSION", L"zarvel-setup.exe") + L" /S",
            setup + L" /S /D=" + programFolder(L"Zarvel Next"),
            programFolder(L"Zarvel Next"),
            setup + L" /S /CurrentUser",
            HKEY_CURRENT_USER,
            L"QuietUninstallString",
            L"",
            true};
  }
  // Inno's uninstaller, like NSIS's, returns before its copy has done the work.
  if (engine == L"inno") {
    const std::wstring setup = quotedInstaller(L"inno", L"ZARVEL_VERSION", L"zarvel-setup.exe");
    return {L"inno",
            quotedInstaller(L"inno", L"ZARVEL_EARLIER_VERSION", L"zarvel-setup.exe") + silentInno,
            setup + silentInno + L" \"/DIR=" + programFolder(L"Zarvel Next") + L"\"",
            programFolder(L"Zarvel Next"),
            setup + silentInno + L" /CURRENTUSER",
            HKEY_CURRENT_USER,
            L"QuietUninstallString",
            L"",
            true};
  }
  // Into the same folder: Wine's msiexec, uninstalling, forgets a folder that
  // the command line set when installing. Installing the same version again
  // is a maintenance run, which keeps a complete registration, whatever it
  // names. The per-user package is a build of its own; Wine's msiexec writes
  // the entry of a per-user product below HKLM too.
  return {
      L"msi",
      L"msiexec.exe /i " + quotedInstaller(L"msi", L"ZARVEL_EARLIER_VERSION", L"zarvel.msi") +
          L" /qn",
      L"msiexec.exe /i " + quotedInstaller(L"msi", L"ZARVEL_VERSION", L"zarvel.msi") + L" /qn",
      programFolder(L"Zarvel"),
      L"msiexec.exe /i " + quotedInstaller(L"msi", L"ZARVEL_VERSION", L"zarvel-user.msi") + L" /qn",
      HKEY_LOCAL_MACHINE,
      L"UninstallString",
      L" /qn",
      false};
}

enum class Flow { kUpgrade, kOtherClaims, kOtherClaimsForUser, kPerUser };

// One row per engine and flow; installer-test.sh runs an engine's rows.
struct InstallerCase {
  const char* name;  // "<Engine>_<Flow>", the row's test name
  const wchar_t* engine;
  Flow flow;
};

const InstallerCase kInstallerCases[] = {
    {"Nsis_Upgrade", L"nsis", Flow::kUpgrade},
    {"Nsis_OtherClaims", L"nsis", Flow::kOtherClaims},
    {"Nsis_OtherClaimsForUser", L"nsis", Flow::kOtherClaimsForUser},
    {"Nsis_PerUser", L"nsis", Flow::kPerUser},
    {"Inno_Upgrade", L"inno", Flow::kUpgrade},
    {"Inno_OtherClaims", L"inno", Flow::kOtherClaims},
    {"Inno_OtherClaimsForUser", L"inno", Flow::kOtherClaimsForUser},
    {"Inno_PerUser", L"inno", Flow::kPerUser},
    {"Msi_Upgrade", L"msi", Flow::kUpgrade},
    {"Msi_OtherClaims", L"msi", Flow::kOtherClaims},
    {"Msi_OtherClaimsForUser", L"msi", Flow::kOtherClaimsForUser},
    {"Msi_PerUser", L"msi", Flow::kPerUser},
};

class InstallerTest : public testing::TestWithParam<InstallerCase> {};

TEST_P(InstallerTest, Runs) {
  const Installer installer = installerFor(GetParam().engine);
  switch (GetParam().flow) {
    case Flow::kUpgrade:
      checkUpgradeFlow(installer);
      break;
    case Flow::kOtherClaims:
      checkOtherClaimsFlow(installer, kMachine, HKEY_LOCAL_MACHINE, installer.installLater,
                           installer.laterFolder);
      break;
    case Flow::kOtherClaimsForUser:
      checkOtherClaimsFlow(installer, kUser, installer.userEntryRoot, installer.installForUser,
                           userProgramFolder(L"Zarvel"));
      break;
    case Flow::kPerUser:
      checkPerUserFlow(installer);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallerTest, testing::ValuesIn(kInstallerCases),
                         [](const testing::TestParamInfo<InstallerCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
