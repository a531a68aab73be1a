; Installs the zarvel application and registers the zarvel: URI scheme for it,
; for all users ("Program Files\Zarvel", registered by zarvel-uri.exe) or for
; the current user only ("%LOCALAPPDATA%\Programs\Zarvel", registered below
; HKCU\Software\Classes by Setup itself, with no administrator rights). The
; uninstaller removes the scheme only while it names this installation's
; application. It is listed with the installed programs, and installing into
; another folder first removes the earlier installation.
;
;   ISCC /DVERSION=1.2.3 zarvel.iss
;
; Writes zarvel-setup.exe and packs zarvel.exe and zarvel-uri.exe from beside
; this script. Setup asks which scope; /ALLUSERS or /CURRENTUSER chooses it on
; the command line. Install silently with /VERYSILENT /SUPPRESSMSGBOXES
; /NORESTART, into another folder with /DIR="<folder>".
#ifndef VERSION
  #error Give the version: ISCC /DVERSION=x.y.z zarvel.iss
#endif
; Names this application to every version of its installer; Inno keeps the
; installed-programs entry below Uninstall\{<this>}_is1.
#define AppGuid "6C3F9A2E-4B1D-4E8A-9F27-5D0C8B7A1E64"

[Setup]
AppId={{{#AppGuid}}
AppName=Zarvel
AppVersion={#VERSION}
AppPublisher=Zarvel
UninstallDisplayName=Zarvel
VersionInfoVersion={#VERSION}
; For all users by default, which needs an administrator, as writing the
; machine's classes does; zarvel-uri.exe never asks for elevation itself, it
; runs with Setup's rights. Setup asks, or /CURRENTUSER says, to install for
; the current user only, without elevation: then HKA is HKCU, and {autopf}
; the user's programs folder.
PrivilegesRequired=admin
PrivilegesRequiredOverridesAllowed=commandline dialog
DefaultDirName={code:DefaultFolder}
DisableProgramGroupPage=yes
OutputDir=.
OutputBaseFilename=zarvel-setup

[Files]
Source: "zarvel.exe"; DestDir: "{app}"; Flags: ignoreversion
Source: "zarvel-uri.exe"; DestDir: "{app}"; Flags: ignoreversion

[Registry]
; Installing claims the scheme: one that names another application, or is
; incomplete, gives way to this installation's. HKA is HKLM for all users
; (the machine's classes, which zarvel-uri.exe reaches through HKCR) and
; HKCU for the current user. The uninstaller removes the scheme in [Code],
; only while it names this installation.
Root: HKA; Subkey: "Software\Classes\zarvel"; ValueType: none; Flags: deletekey
; For the current user, Setup writes the program's four values itself:
; zarvel-uri.exe writes through HKCR, which for a standard user is the
; machine's and not writable.
Root: HKA; Subkey: "Software\Classes\zarvel"; ValueType: string; ValueName: ""; \
  ValueData: "URL:Zarvel Protocol"; Check: not IsAdminInstallMode
Root: HKA; Subkey: "Software\Classes\zarvel"; ValueType: string; ValueName: "URL Protocol"; \
  ValueData: ""; Check: not IsAdminInstallMode
Root: HKA; Subkey: "Software\Classes\zarvel\DefaultIcon"; ValueType: string; ValueName: ""; \
  ValueData: "zarvel.exe,1"; Check: not IsAdminInstallMode
Root: HKA; Subkey: "Software\Classes\zarvel\shell\open\command"; ValueType: string; \
  ValueName: ""; ValueData: """{app}\zarvel.exe"" ""%1"""; Check: not IsAdminInstallMode

[Run]
; For all users. Hidden, and waited for. zarvel-uri.exe always exits 0: what
; it wrote, or which step failed, is in its output. The path is quoted, as it
; may hold spaces.
Filename: "{app}\zarvel-uri.exe"; Parameters: """{app}\zarvel.exe"""; \
  Flags: runhidden waituntilterminated; Check: IsAdminInstallMode

[UninstallDelete]
Type: dirifempty; Name: "{app}"

[Code]
const
  UninstallKey = 'Software\Microsoft\Windows\CurrentVersion\Uninstall\{{#AppGuid}}_is1';
  SchemeKey = 'Software\Classes\zarvel';

// For all users {autopf}\Zarvel, which for this 32-bit installer on 64-bit
// Windows is in "Program Files (x86)"; for the current user the user's
// programs folder, in its usual place: {autopf} would ask Windows for that
// folder, which Wine 8 does not know.
function DefaultFolder(Param: String): String;
begin
  if IsAdminInstallMode then
    Result := ExpandConstant('{autopf}\Zarvel')
  else
    Result := ExpandConstant('{localappdata}\Programs\Zarvel');
end;

// Waits up to Milliseconds for a file or folder to go; True when it went.
function WaitUntilGone(const Path: String; Milliseconds: Integer): Boolean;
begin
  while FileOrDirExists(Path) and (Milliseconds > 0) do
  begin
    Sleep(100);
    Milliseconds := Milliseconds - 100;
  end;
  Result := not FileOrDirExists(Path);
end;

// Inno on its own installs over an installation in another folder: it keeps
// one entry, but leaves the old folder's files, and the scheme naming them.
// So that installation's own uninstaller removes it first. The uninstaller
// hands its work to a copy of itself and may return before it is done: it is
// done when it has deleted itself, and its folder goes right after, unless
// files of the user's keep it.
function RemoveEarlierInstallation(): String;
var
  EarlierFolder, Uninstaller: String;
  ResultCode: Integer;
begin
  Result := '';
  if not RegQueryStringValue(HKA, UninstallKey, 'InstallLocation', EarlierFolder) or
     not RegQueryStringValue(HKA, UninstallKey, 'UninstallString', Uninstaller) then
    Exit;
  EarlierFolder := RemoveBackslash(EarlierFolder);
  if CompareText(EarlierFolder, RemoveBackslash(ExpandConstant('{app}'))) = 0 then
    Exit;
  Uninstaller := RemoveQuotes(Uninstaller);
  if not FileExists(Uninstaller) then
    Exit;
  if not Exec(Uninstaller, '/VERYSILENT /SUPPRESSMSGBOXES /NORESTART', '', SW_HIDE,
              ewWaitUntilTerminated, ResultCode) then
    Result := 'Could not start ' + Uninstaller + ': ' + SysErrorMessage(ResultCode)
  else if ResultCode <> 0 then
    Result := 'Could not remove the installation in ' + EarlierFolder + ': ' + Uninstaller +
              ' exited with ' + IntToStr(ResultCode)
  else if not WaitUntilGone(Uninstaller, 60000) then
    Result := 'The installation in ' + EarlierFolder + ' was not removed within a minute'
  else
    WaitUntilGone(EarlierFolder, 2000);
end;

// A non-empty result stops the installation with that message.
function PrepareToInstall(var NeedsRestart: Boolean): String;
begin
  Result := RemoveEarlierInstallation();
end;

// The uninstaller removes the scheme of its scope only while its open command
// names this installation's application, compared as Windows compares paths
// (CompareText ignores case); another application's scheme is left as it is,
// and the uninstall log (/LOG) says why.
procedure RemoveOwnScheme();
var
  Command, Own: String;
begin
  Own := '"' + ExpandConstant('{app}') + '\zarvel.exe" "%1"';
  if not RegQueryStringValue(HKA, SchemeKey + '\shell\open\command', '', Command) then
    Log('Left what there is of the zarvel: scheme: it names no application')
  else if CompareText(Command, Own) <> 0 then
    Log('Left the zarvel: scheme as it is: it runs ' + Command + ', not ' + Own)
  else if RegDeleteKeyIncludingSubkeys(HKA, SchemeKey) then
    Log('Removed the zarvel: scheme, which ran ' + Own)
  else
    Log('Could not remove the zarvel: scheme, which runs ' + Own);
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
begin
  if CurUninstallStep = usUninstall then
    RemoveOwnScheme();
end;
