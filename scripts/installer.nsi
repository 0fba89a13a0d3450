; The driver's installer: copies the production DLL into the 64-bit Program
; Files, registers it through its own DllRegisterServer (64-bit regsvr32),
; and writes an uninstaller with its "Apps & features" entry.
; Built by scripts/package.sh:  makensis -DDLL=<built DLL> -DOUTDIR=<folder>
; The version is read from the DLL's version resource.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef DLL | OUTDIR
  !error "makensis -DDLL=<path of Quorvex-Vor-OD-ASIO-x64.dll> -DOUTDIR=<output folder>"
!endif
!getdllversion "${DLL}" DLL_VERSION_
!define VERSION "${DLL_VERSION_1}.${DLL_VERSION_2}.${DLL_VERSION_3}.${DLL_VERSION_4}"

!define PRODUCT "Quorvex Vor OD ASIO"
!define PUBLISHER "Halvorn"
!define DLL_NAME "Quorvex-Vor-OD-ASIO-x64.dll"
!define UNINSTALLER "Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvex Vor OD ASIO"

; Exit codes beside NSIS's own (1 cancelled, 2 aborted).
!define EXIT_NOT_ADMIN 740        ; ERROR_ELEVATION_REQUIRED
!define EXIT_WRONG_WINDOWS 1150   ; ERROR_OLD_WIN_VERSION
!define EXIT_DLL_IN_USE 32        ; ERROR_SHARING_VIOLATION
!define EXIT_REGISTRATION 3       ; with the details in the message

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"

Name "${PRODUCT}"
OutFile "${OUTDIR}/Quorvex-Vor-OD-ASIO-Setup-${VERSION}.exe"
InstallDir "$PROGRAMFILES64\Quorvex\Vor OD ASIO"
; An installation over an earlier one goes where that one is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER}"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}. All rights reserved."

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs the ASIO driver of the Quorvex Vor OD, version ${VERSION}.$\r$\n$\r$\nClose every recording program before you continue."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "The driver is installed. Choose $\"${PRODUCT}$\" in your recording program's audio settings."
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var Upgrading

; The checks both programs make before they change anything.
!macro CheckMachine UN
Function ${UN}CheckMachine
  ; Windows itself refuses to start this 64-bit program on a 32-bit system;
  ; this catches the rest (Windows on other processors running it emulated).
  ${IfNot} ${IsNativeAMD64}
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} driver needs a 64-bit (x64) edition of Windows. This Windows cannot run it." /SD IDOK
    SetErrorLevel ${EXIT_WRONG_WINDOWS}
    Quit
  ${EndIf}
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing or removing the ${PRODUCT} driver needs administrator rights. Run this program as an administrator." /SD IDOK
    SetErrorLevel ${EXIT_NOT_ADMIN}
    Quit
  ${EndIf}
  SetRegView 64
FunctionEnd

; A DLL loaded by a running host cannot be replaced or deleted: say so, and
; change nothing until it is free.
Function ${UN}CheckDllNotInUse
  ${IfNot} ${FileExists} "$INSTDIR\${DLL_NAME}"
    Return
  ${EndIf}
  retry:
  ClearErrors
  FileOpen $0 "$INSTDIR\${DLL_NAME}" a
  ${IfNot} ${Errors}
    FileClose $0
    Return
  ${EndIf}
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$INSTDIR\${DLL_NAME} is in use: a running program has the driver open.$\r$\n$\r$\nClose every recording program and choose Retry, or Cancel to leave the installed driver as it is." /SD IDCANCEL IDRETRY retry
  DetailPrint "$INSTDIR\${DLL_NAME} is in use; nothing was changed."
  SetErrorLevel ${EXIT_DLL_IN_USE}
  Abort
FunctionEnd
!macroend
!insertmacro CheckMachine ""
!insertmacro CheckMachine "un."

Function .onInit
  Call CheckMachine
FunctionEnd

Function un.onInit
  Call un.CheckMachine
FunctionEnd

; Runs the 64-bit regsvr32 silently on the installed DLL; $0 gets its exit code.
!macro Regsvr32 ARGUMENTS
  ExecWait '"$SYSDIR\regsvr32.exe" ${ARGUMENTS} "$INSTDIR\${DLL_NAME}"' $0
  ${If} ${Errors}
    StrCpy $0 "not started"
  ${EndIf}
!macroend

Section "Driver"
  SectionIn RO
  StrCpy $Upgrading 0
  ${If} ${FileExists} "$INSTDIR\${DLL_NAME}"
    StrCpy $Upgrading 1
  ${EndIf}
  Call CheckDllNotInUse

  ; The DLL of an earlier installation, put back if the new one fails.
  InitPluginsDir
  ${If} $Upgrading == 1
    CopyFiles /SILENT "$INSTDIR\${DLL_NAME}" "$PLUGINSDIR\previous.dll"
  ${EndIf}

  SetOutPath "$INSTDIR"
  ClearErrors
  File "/oname=${DLL_NAME}" "${DLL}"
  ${If} ${Errors}
    StrCpy $0 "the file could not be written"
    Goto failed
  ${EndIf}
  ClearErrors
  !insertmacro Regsvr32 "/s"
  ${If} $0 != 0
    StrCpy $0 "regsvr32 ended with $0"
    Goto failed
  ${EndIf}

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${DLL_VERSION_1}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${DLL_VERSION_2}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  Return

  failed:
  ; Leave the machine as it was: the earlier installation back in place and
  ; registered, or nothing at all.
  ${If} $Upgrading == 1
    Delete "$INSTDIR\${DLL_NAME}"
    CopyFiles /SILENT "$PLUGINSDIR\previous.dll" "$INSTDIR\${DLL_NAME}"
    !insertmacro Regsvr32 "/s"
  ${Else}
    !insertmacro Regsvr32 "/u /s"
    Delete "$INSTDIR\${DLL_NAME}"
    ; A folder that is the current directory cannot be removed.
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
    RMDir "$INSTDIR\.."
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "The driver could not be installed: $0.$\r$\nNothing was changed." /SD IDOK
  DetailPrint "Installation failed: $0"
  SetErrorLevel ${EXIT_REGISTRATION}
  Abort
SectionEnd

Section "Uninstall"
  Call un.CheckDllNotInUse
  ClearErrors
  !insertmacro Regsvr32 "/u /s"
  ${If} $0 != 0
    ; The files go all the same, or a damaged DLL could never be removed; the
    ; driver's own entries go with them.
    DetailPrint "regsvr32 /u ended with $0: removing the driver's entries directly"
    DeleteRegKey HKLM "SOFTWARE\ASIO\Quorvex Vor OD ASIO Driver"
    DeleteRegKey HKCR "CLSID\{35B2AAA7-CD03-421C-B325-5D7184ACC176}"
  ${EndIf}
  Delete "$INSTDIR\${DLL_NAME}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  ; The maker's folder goes only when nothing else is in it.
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
