; Installs the zarvel application to "Program Files\Zarvel" and registers the
; zarvel: URI scheme for it with zarvel-uri.exe; the uninstaller removes both.
; It is listed with the installed programs, and a later installer first
; removes the earlier installation, wherever it is.
;
;   makensis -DVERSION=1.2.3 zarvel.nsi          32-bit installer
;   makensis -DVERSION=1.2.3 -DWIN64 zarvel.nsi  64-bit, to the 64-bit Program Files
;
; Both write zarvel-setup.exe and pack zarvel.exe and zarvel-uri.exe from
; beside this script. Install silently with /S, into another folder with
; /D=<folder> (last, unquoted).
!ifndef VERSION
  !error "Give the version: makensis -DVERSION=x.y.z zarvel.nsi"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zarvel"

!ifdef WIN64
  Target amd64-unicode
!else
  Unicode true
!endif

Name "Zarvel ${VERSION}"
OutFile "zarvel-setup.exe"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Zarvel"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Zarvel ${VERSION} Setup"
VIAddVersionKey "LegalCopyright" "Zarvel"
; Writing below HKEY_CLASSES_ROOT needs an administrator; zarvel-uri.exe
; never asks for elevation itself, it runs with the installer's rights.
RequestExecutionLevel admin
!ifdef WIN64
  InstallDir "$PROGRAMFILES64\Zarvel"
!else
  ; On 64-bit Windows this is "Program Files (x86)".
  InstallDir "$PROGRAMFILES\Zarvel"
!endif
ShowInstDetails show
ShowUninstDetails show

; zarvel-uri.exe leaves a complete registration alone, so an earlier
; installation's scheme would keep naming its own folder's application. Its
; uninstaller removes it, with its files and its entry; _?= runs it in place,
; so that ExecWait waits for it, and leaves it to be deleted here.
Function RemoveEarlierInstallation
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "" done
  IfFileExists "$0\uninstall.exe" 0 gone
  ExecWait '"$0\uninstall.exe" /S _?=$0' $1
  StrCmp $1 "0" +2
    Abort "Could not remove the installation in $0: $1"
  Delete "$0\uninstall.exe"
  RMDir "$0"
gone:
  ; An installation whose folder went by hand leaves its scheme and entry.
  DeleteRegKey HKCR "zarvel"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
done:
FunctionEnd

Section "Zarvel"
  Call RemoveEarlierInstallation
  SetOutPath "$INSTDIR"
  File "zarvel.exe"
  File "zarvel-uri.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The entry in the installed-programs list ("Apps" in Settings).
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zarvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zarvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; nsExec waits for the program and keeps its output in the install log
  ; (the plug-in exists for both x86 and amd64). The path is quoted, as it
  ; may hold spaces. zarvel-uri.exe always exits 0: what it wrote, or which
  ; step failed, is in its output; an error here means it did not run.
  nsExec::ExecToLog '"$INSTDIR\zarvel-uri.exe" "$INSTDIR\zarvel.exe"'
  Pop $0
  StrCmp $0 "0" +2
    Abort "Could not run zarvel-uri.exe: $0"
SectionEnd

Section "Uninstall"
  ; zarvel-uri.exe never removes the scheme; its registration goes with the
  ; application.
  DeleteRegKey HKCR "zarvel"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\zarvel.exe"
  Delete "$INSTDIR\zarvel-uri.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
