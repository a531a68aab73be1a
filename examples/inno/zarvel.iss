; Installs the zarvel application to "Program Files\Zarvel" and registers the
; zarvel: URI scheme for it with zarvel-uri.exe; the uninstaller removes both.
; It is listed with the installed programs, and installing into another
; folder first removes the earlier installation.
;
;   ISCC /DVERSION=1.2.3 zarvel.iss
;
; Writes zarvel-setup.exe and packs zarvel.exe and zarvel-uri.exe from beside
; this script. Install silently with /VERYSILENT /SUPPRESSMSGBOXES /NORESTART,
; into another folder with /DIR="<folder>".
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
; Writing below HKEY_CLASSES_ROOT needs an administrator; zarvel-uri.exe
; never asks for elevation itself, it runs with the installer's rights.
PrivilegesRequired=admin
; On 64-bit Windows this 32-bit installer's {autopf} is "Program Files (x86)".
DefaultDirName={autopf}\Zarvel
DisableProgramGroupPage=yes
OutputDir=.
OutputBaseFilename=zarvel-setup

[Files]
Source: "zarvel.exe"; DestDir: "{app}"; Flags: ignoreversion
Source: "zarvel-uri.exe"; DestDir: "{app}"; Flags: ignoreversion

[Registry]
; zarvel-uri.exe leaves a complete registration alone, so one left by an
; earlier installation would keep naming that installation's application:
; every install removes the scheme before [Run] registers it again, and the
; uninstaller removes it. HKCR is the root zarvel-uri.exe itself writes through.
Root: HKCR; Subkey: "zarvel"; ValueType: none; Flags: deletekey uninsdeletekey

[Run]
; Hidden, and waited for. zarvel-uri.exe always exits 0: what it wrote, or
; which step failed, is in its output. The path is quoted, as it may hold
; spaces.
Filename: "{app}\zarvel-uri.exe"; Parameters: """{app}\zarvel.exe"""; \
  Flags: runhidden waituntilterminated

[UninstallDelete]
Type: dirifempty; Name: "{app}"

[Code]
const
  UninstallKey = 'Software\Microsoft\Windows\CurrentVersion\Uninstall\{{#AppGuid}}_is1';

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
  if not RegQueryStringValue(HKLM, UninstallKey, 'InstallLocation', EarlierFolder) or
     not RegQueryStringValue(HKLM, UninstallKey, 'UninstallString', Uninstaller) then
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
