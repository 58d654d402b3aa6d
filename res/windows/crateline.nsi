; The Windows installer: both programs, the manual as a text file, the licence, a Start-menu
; entry and an uninstaller that removes all of it. Built on Linux by scripts/windows-package.sh:
;   makensis -DARCH=x86_64|i686 -DVERSION=3.0.0 -DSTAGE=folder -DOUTFILE=setup.exe crateline.nsi
Unicode true
!include "x64.nsh"

!define PRODUCT "Brakmoor Crateline"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Crateline"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
!if "${ARCH}" == "x86_64"
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
RequestExecutionLevel admin
SetCompressor /SOLID lzma
Icon "${STAGE}\crateline.ico"
UninstallIcon "${STAGE}\crateline.ico"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Brakmoor Inc."
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 Brakmoor"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
!if "${ARCH}" == "x86_64"
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "This is the 64-bit Crateline; this Windows is 32-bit." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
!endif
FunctionEnd

Function un.onInit
!if "${ARCH}" == "x86_64"
  SetRegView 64
!endif
FunctionEnd

Section "Crateline"
  SetOutPath "$INSTDIR"
  File "${STAGE}\crateline.exe"
  File "${STAGE}\crateline-cli.exe"
  File "${STAGE}\libpff-1.dll"
  File "${STAGE}\crateline-cli.txt"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\libpff-LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\crateline.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Command-line manual.lnk" "$INSTDIR\crateline-cli.txt"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Brakmoor Inc."
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\crateline.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The program's folder goes last: once it is gone, everything else is.
Section "Uninstall"
  SetShellVarContext all
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Command-line manual.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\crateline.exe"
  Delete "$INSTDIR\crateline-cli.exe"
  Delete "$INSTDIR\libpff-1.dll"
  Delete "$INSTDIR\crateline-cli.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\libpff-LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
