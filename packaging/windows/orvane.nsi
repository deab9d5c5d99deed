; The Windows installer of Orvane: the program in Program Files, a Start-menu shortcut, an entry
; in the list of installed programs, and an uninstaller. /S installs (and uninstalls) silently.
; scripts/package defines VERSION (Orvane's, from CMakeLists.txt), NUMERIC_VERSION (its four
; numbers), PROGRAM (orvane.exe), ICON and OUTFILE.
; The programs are 64-bit, and so is the installer.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
!include "MUI2.nsh"

!define PRODUCT "網路校時 Orvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
!define SHORTCUT "$SMPROGRAMS\網路校時.lnk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Orvane"
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_TITLE "網路校時已安裝完成"
!define MUI_FINISHPAGE_TEXT "校正系統時間需要系統管理員的權限。開始功能表的「網路校時」捷徑會以系統管理員身分執行：按下後，Windows 會先詢問是否允許（使用者帳戶控制），允許後才會校正時間。$\r$\n$\r$\nSetting the clock needs an administrator's right. The Start-menu shortcut 網路校時 runs Orvane as an administrator: Windows asks first (User Account Control), and the clock is set once you allow it."
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "TradChinese"

VIProductVersion "${NUMERIC_VERSION}"
VIFileVersion "${NUMERIC_VERSION}"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "ProductName" "Orvane"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "FileDescription" "${PRODUCT} 安裝程式"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "CompanyName" "zevo"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_TRADCHINESE} "LegalCopyright" "zevo"

; Setting the clock needs the right to change the system time, which UAC keeps out of a program
; started the ordinary way: the shortcut asks for an administrator (RunAsUser, 0x2000 in the
; .lnk header's LinkFlags at offset 0x14), so a click brings the UAC prompt. orvane.exe itself
; stays asInvoker: a program that starts it keeps the right it has.
!macro RunAsAdministrator LINK
  Push $0
  Push $1
  FileOpen $0 "${LINK}" a
  FileSeek $0 0x15 SET
  FileReadByte $0 $1
  IntOp $1 $1 | 0x20
  FileSeek $0 0x15 SET
  FileWriteByte $0 $1
  FileClose $0
  Pop $1
  Pop $0
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  File "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\orvane.exe"
  !insertmacro RunAsAdministrator "${SHORTCUT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\orvane.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "zevo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" 1024
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section Uninstall
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\orvane.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
