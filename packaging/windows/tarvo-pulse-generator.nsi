; The Windows installer: a 64-bit NSIS program that installs the utility for every user of the machine into
; Program Files, adds a Start-menu shortcut and registers its uninstaller in "Apps & features". /S runs either
; silently. A second install over the first replaces the files in place.
;
; The build (packaging/windows/CMakeLists.txt) gives:
;   VERSION  the project's version, as 1.0.0
;   STAGE    the folder holding the stripped tarvo-pulse-generator.exe, tarvo-pulse-ctl.exe and tarvo-pulse-scpi.exe
;   ICON     the program's icon
;   OUTFILE  the installer to write

!macro REQUIRE name
  !ifndef ${name}
    !error "makensis needs -D${name}=..."
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE STAGE
!insertmacro REQUIRE ICON
!insertmacro REQUIRE OUTFILE

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestSupportedOS all
ManifestDPIAware true

!define PRODUCT "Tarvo Pulse Generator"
!define PUBLISHER "Tarvo"
!define PROGRAM "tarvo-pulse-generator.exe"
!define CTL "tarvo-pulse-ctl.exe"
!define SCPI "tarvo-pulse-scpi.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the installed copy is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

; The installer's own version record.
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ; The stub is 64-bit, so it runs only on 64-bit Windows; the registry and shell folders are the 64-bit ones.
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; $R0 names FILE when it is in use: a running program cannot be opened for writing.
!macro NOTE_IF_IN_USE file
  ${If} ${FileExists} "${file}"
    ClearErrors
    FileOpen $0 "${file}" a
    ${If} ${Errors}
      StrCpy $R0 "${file}"
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend

; Removes the installed programs; while one of them runs, stops the (un)install before anything is changed.
; Windows can neither replace nor delete a running program, and NSIS would skip it (in silent mode without a word),
; leaving an old program under a new version, or files without an uninstaller.
!macro REMOVE_PROGRAMS_FUNCTION prefix
Function ${prefix}RemovePrograms
  check:
  StrCpy $R0 ""
  !insertmacro NOTE_IF_IN_USE "$INSTDIR\${PROGRAM}"
  !insertmacro NOTE_IF_IN_USE "$INSTDIR\${CTL}"
  !insertmacro NOTE_IF_IN_USE "$INSTDIR\${SCPI}"
  StrCmp $R0 "" free
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R0 is running. Close it, then press Retry." /SD IDCANCEL IDRETRY check
  DetailPrint "$R0 is running: nothing was changed."
  Abort
  free:
  Delete "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\${CTL}"
  Delete "$INSTDIR\${SCPI}"
FunctionEnd
!macroend
!insertmacro REMOVE_PROGRAMS_FUNCTION ""
!insertmacro REMOVE_PROGRAMS_FUNCTION "un."

Section "Install"
  SetOutPath "$INSTDIR"
  Call RemovePrograms
  ClearErrors
  File "${STAGE}\${PROGRAM}"
  File "${STAGE}\${CTL}"
  File "${STAGE}\${SCPI}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ${If} ${Errors}
    DetailPrint "The programs could not be written to $INSTDIR."
    Abort
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; What the installed folder holds, in KB, as "Apps & features" shows it.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Call un.RemovePrograms
  ; Only what the installer put there: the folder may have been one the user chose that holds other files.
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
