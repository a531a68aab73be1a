; Installs the zarvel application to "Program Files\Zarvel" and registers the
; zarvel: URI scheme for it with zarvel-uri.exe; the uninstaller removes both.
;
;   makensis zarvel.nsi          32-bit installer
;   makensis -DWIN64 zarvel.nsi  64-bit installer, to the 64-bit Program Files
;
; Both write zarvel-setup.exe and pack zarvel.exe and zarvel-uri.exe from
; beside this script.
!ifdef WIN64
  Target amd64-unicode
!else
  Unicode true
!endif

Name "Zarvel"
OutFile "zarvel-setup.exe"
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

Section "Zarvel"
  SetOutPath "$INSTDIR"
  File "zarvel.exe"
  File "zarvel-uri.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

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
  Delete "$INSTDIR\zarvel.exe"
  Delete "$INSTDIR\zarvel-uri.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
