; Installs the zarvel application and registers the zarvel: URI scheme for it,
; for all users (the default: "Program Files\Zarvel", registered by
; zarvel-uri.exe) or, with /CurrentUser, for the current user only
; ("%LOCALAPPDATA%\Programs\Zarvel", registered below HKCU\Software\Classes by
; the installer itself, with no administrator rights). The uninstaller removes
; the scheme only while it names this installation's application. It is
; listed with the installed programs, and a later installer first removes the
; earlier installation of its scope, wherever it is.
;
;   makensis -DVERSION=1.2.3 zarvel.nsi          32-bit installer
;   makensis -DVERSION=1.2.3 -DWIN64 zarvel.nsi  64-bit, to the 64-bit Program Files
;
; Both write zarvel-setup.exe and pack zarvel.exe and zarvel-uri.exe from
; beside this script. Install silently with /S, for the current user with
; /CurrentUser, into another folder with /D=<folder> (last, unquoted).
!ifndef VERSION
  !error "Give the version: makensis -DVERSION=x.y.z zarvel.nsi"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zarvel"
; Below HKLM for all users, below HKCU for one: SHCTX follows
; SetShellVarContext. The program itself writes through HKEY_CLASSES_ROOT,
; which for an administrator without a scheme of their own is the machine's.
!define SCHEME_KEY "Software\Classes\zarvel"

!ifdef WIN64
  Target amd64-unicode
!else
  Unicode true
!endif

!include FileFunc.nsh
!include LogicLib.nsh

Name "Zarvel ${VERSION}"
OutFile "zarvel-setup.exe"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Zarvel"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Zarvel ${VERSION} Setup"
VIAddVersionKey "LegalCopyright" "Zarvel"
; An administrator is asked to elevate, as installing for all users needs;
; a standard user is not asked, and can install with /CurrentUser only.
; zarvel-uri.exe never asks for elevation itself, it runs with the
; installer's rights.
RequestExecutionLevel highest
; No InstallDir: .onInit picks the scope's folder unless /D= gave one.
ShowInstDetails show
ShowUninstDetails show

; Whether this run is for the current user only (/CurrentUser).
Var CurrentUser

; Sets the scope from the command line: SHCTX, $LOCALAPPDATA and the like
; follow it. The uninstaller's entry passes /CurrentUser on to it.
!macro ChooseScope UN
  ${${UN}GetParameters} $0
  ClearErrors
  ${${UN}GetOptions} $0 "/CurrentUser" $1
  ${If} ${Errors}
    StrCpy $CurrentUser ""
    SetShellVarContext all
  ${Else}
    StrCpy $CurrentUser "1"
    SetShellVarContext current
  ${EndIf}
!macroend

; Removes the scheme of this scope when its open command names the
; application in the folder $R0, compared as Windows compares paths (StrCmp
; ignores case); another application's scheme is left as it is, and the log
; says so.
!macro RemoveOwnScheme UN
Function ${UN}RemoveOwnScheme
  ReadRegStr $R1 SHCTX "${SCHEME_KEY}\shell\open\command" ""
  ${If} $R1 == '"$R0\zarvel.exe" "%1"'
    DeleteRegKey SHCTX "${SCHEME_KEY}"
    DetailPrint "Removed the zarvel: scheme, which named $R0\zarvel.exe"
  ${ElseIf} $R1 != ""
    DetailPrint "Left the zarvel: scheme as it is: it runs $R1, not $R0\zarvel.exe"
  ${Else}
    ; None, or one without its command, which may be another application's.
    DetailPrint "Left what there is of the zarvel: scheme: it names no application"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro RemoveOwnScheme ""
!insertmacro RemoveOwnScheme "un."

Function .onInit
  !insertmacro ChooseScope ""
  ${If} $INSTDIR == ""
    ${If} $CurrentUser == "1"
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Zarvel"
    ${Else}
!ifdef WIN64
      StrCpy $INSTDIR "$PROGRAMFILES64\Zarvel"
!else
      ; On 64-bit Windows this is "Program Files (x86)".
      StrCpy $INSTDIR "$PROGRAMFILES\Zarvel"
!endif
    ${EndIf}
  ${EndIf}
  ${If} $CurrentUser == ""
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
      MessageBox MB_ICONSTOP "Installing for all users needs an administrator; /CurrentUser installs for you only." /SD IDOK
      Abort
    ${EndIf}
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro ChooseScope "un."
FunctionEnd

; zarvel-uri.exe leaves a complete registration alone, so an earlier
; installation's scheme would keep naming its own folder's application. Its
; uninstaller removes it, with its files and its entry; _?= runs it in place,
; so that ExecWait waits for it, and leaves it to be deleted here.
Function RemoveEarlierInstallation
  ReadRegStr $R0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $R0 "" done
  IfFileExists "$R0\uninstall.exe" 0 gone
  ${If} $CurrentUser == "1"
    ExecWait '"$R0\uninstall.exe" /S /CurrentUser _?=$R0' $1
  ${Else}
    ExecWait '"$R0\uninstall.exe" /S _?=$R0' $1
  ${EndIf}
  StrCmp $1 "0" +2
    Abort "Could not remove the installation in $R0: $1"
  Delete "$R0\uninstall.exe"
  RMDir "$R0"
  Goto done
gone:
  ; An installation whose folder went by hand leaves its scheme and entry.
  Call RemoveOwnScheme
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
done:
FunctionEnd

Section "Zarvel"
  Call RemoveEarlierInstallation
  SetOutPath "$INSTDIR"
  File "zarvel.exe"
  File "zarvel-uri.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The entry in the installed-programs list ("Apps" in Settings), below
  ; HKLM or HKCU.
  ${If} $CurrentUser == "1"
    StrCpy $0 " /CurrentUser"
  ${Else}
    StrCpy $0 ""
  ${EndIf}
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Zarvel"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Zarvel"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"$0'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S$0'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1

  ; Installing claims the scheme: one that names another application, or is
  ; incomplete, gives way to this installation's.
  DeleteRegKey SHCTX "${SCHEME_KEY}"
  ${If} $CurrentUser == "1"
    ; zarvel-uri.exe writes through HKEY_CLASSES_ROOT, which for a standard
    ; user is the machine's and not writable: the same four values go below
    ; HKCU\Software\Classes here.
    WriteRegStr HKCU "${SCHEME_KEY}" "" "URL:Zarvel Protocol"
    WriteRegStr HKCU "${SCHEME_KEY}" "URL Protocol" ""
    WriteRegStr HKCU "${SCHEME_KEY}\DefaultIcon" "" "zarvel.exe,1"
    WriteRegStr HKCU "${SCHEME_KEY}\shell\open\command" "" '"$INSTDIR\zarvel.exe" "%1"'
  ${Else}
    ; nsExec waits for the program and keeps its output in the install log
    ; (the plug-in exists for both x86 and amd64). The path is quoted, as it
    ; may hold spaces. zarvel-uri.exe always exits 0: what it wrote, or which
    ; step failed, is in its output; an error here means it did not run.
    nsExec::ExecToLog '"$INSTDIR\zarvel-uri.exe" "$INSTDIR\zarvel.exe"'
    Pop $0
    StrCmp $0 "0" +2
      Abort "Could not run zarvel-uri.exe: $0"
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; zarvel-uri.exe never removes the scheme; its registration goes with the
  ; application, unless another application has claimed it since.
  StrCpy $R0 $INSTDIR
  Call un.RemoveOwnScheme
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  Delete "$INSTDIR\zarvel.exe"
  Delete "$INSTDIR\zarvel-uri.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
