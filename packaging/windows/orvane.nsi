; The Windows installer of Orvane: the program in Program Files, a Start-menu shortcut, an entry
; in the list of installed programs, a task that corrects the clock at every sign-in (a page of
; its own asks, ticked by default), and an uninstaller. /S installs (and uninstalls) silently;
; with /S, /LOGIN=0 leaves the task out.
; scripts/package defines VERSION (Orvane's, from CMakeLists.txt), NUMERIC_VERSION (its four
; numbers), PROGRAM (orvane.exe), ICON and OUTFILE.
; The programs are 64-bit, and so is the installer.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
!include "MUI2.nsh"
!include "nsDialogs.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define PRODUCT "網路校時 Orvane"
!define TASK "Orvane\SetClockAtSignIn"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
!define SHORTCUT "$SMPROGRAMS\網路校時.lnk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Orvane"
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_TITLE "網路校時已安裝完成"
!define MUI_FINISHPAGE_TEXT "校正系統時間需要系統管理員的權限，Windows 只把它給系統管理員。開始功能表的「網路校時」捷徑會以系統管理員身分執行：按下後，Windows 會先詢問是否允許，允許後才會校正時間。若已選擇每次登入時自動校時，系統管理員登入時會自動校正，不必詢問；一般使用者登入時不會執行。$\r$\n$\r$\nSetting the clock needs an administrator's right, which Windows gives to administrators alone. The Start-menu shortcut 網路校時 runs Orvane as an administrator: Windows asks first, and the clock is set once you allow it. With the correction at every sign-in, it runs without asking when an administrator signs in; a standard user's sign-in does not run it."
!insertmacro MUI_PAGE_DIRECTORY
Page custom SignInPage SignInPageLeave
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

Var SignInTask  ; 1: the task at sign-in
Var SignInBox

Function .onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $SignInTask 1
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LOGIN=" $1
  ${IfNot} ${Errors}
  ${AndIf} $1 == "0"
    StrCpy $SignInTask 0
  ${EndIf}
FunctionEnd

Function SignInPage
  !insertmacro MUI_HEADER_TEXT "每次登入時自動校時" "Set the clock at every sign-in"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 72u "系統管理員每次登入 Windows 時，網路校時會等候網路連線（最多 30 秒），校正一次系統時間後自行結束，不必詢問；只有無法取得時間時才會顯示訊息。一般使用者登入時不會執行：Windows 只讓系統管理員變更系統時間。$\r$\n$\r$\nAt every sign-in of an administrator Orvane waits for the network (up to 30 seconds), sets the clock once without asking, and ends; it shows a message only when no time came. A standard user's sign-in does not run it: Windows lets administrators alone change the system time."
  Pop $0
  ${NSD_CreateCheckbox} 0 80u 100% 12u "每次登入時自動校時 (set the clock at every sign-in)"
  Pop $SignInBox
  ${If} $SignInTask == 1
    ${NSD_Check} $SignInBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function SignInPageLeave
  ${NSD_GetState} $SignInBox $SignInTask
FunctionEnd

; The task, defined by its XML (UTF-16, as schtasks reads it; kept beside orvane.exe, where an
; administrator can read what was registered): at the sign-in of any member of Administrators
; (S-1-5-32-544), after a short delay and only with a network, Orvane quietly in that user's own
; session with the highest rights the user has (no UAC prompt), once at a time.
!macro Line TEXT
  FileWriteUTF16LE $0 `${TEXT}$\r$\n`
!macroend
Function CreateSignInTask
  FileOpen $0 "$INSTDIR\sign-in-task.xml" w
  FileWriteWord $0 0xFEFF
  !insertmacro Line '<?xml version="1.0" encoding="UTF-16"?>'
  !insertmacro Line '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">'
  !insertmacro Line '  <RegistrationInfo>'
  !insertmacro Line '    <Author>Orvane</Author>'
  !insertmacro Line '    <Description>每次登入時自動校時 (Orvane sets the clock at every sign-in)</Description>'
  !insertmacro Line '  </RegistrationInfo>'
  !insertmacro Line '  <Triggers>'
  !insertmacro Line '    <LogonTrigger><Enabled>true</Enabled><Delay>PT5S</Delay></LogonTrigger>'
  !insertmacro Line '  </Triggers>'
  !insertmacro Line '  <Principals>'
  !insertmacro Line '    <Principal id="Administrators"><GroupId>S-1-5-32-544</GroupId><RunLevel>HighestAvailable</RunLevel></Principal>'
  !insertmacro Line '  </Principals>'
  !insertmacro Line '  <Settings>'
  !insertmacro Line '    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>'
  !insertmacro Line '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>'
  !insertmacro Line '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>'
  !insertmacro Line '    <RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>'
  !insertmacro Line '    <ExecutionTimeLimit>PT5M</ExecutionTimeLimit>'
  !insertmacro Line '    <Enabled>true</Enabled>'
  !insertmacro Line '  </Settings>'
  !insertmacro Line '  <Actions Context="Administrators">'
  !insertmacro Line '    <Exec><Command>"$INSTDIR\orvane.exe"</Command><Arguments>/Q /LOGIN</Arguments></Exec>'
  !insertmacro Line '  </Actions>'
  !insertmacro Line '</Task>'
  FileClose $0
  nsExec::Exec '"$SYSDIR\schtasks.exe" /Create /TN "${TASK}" /XML "$INSTDIR\sign-in-task.xml" /F'
  Pop $0
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
  ${If} $SignInTask == 1
    Call CreateSignInTask
  ${Else}
    nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK}" /F'
    Pop $0
    Delete "$INSTDIR\sign-in-task.xml"
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section Uninstall
  nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK}" /F'
  Pop $0
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\orvane.exe"
  Delete "$INSTDIR\sign-in-task.xml"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
