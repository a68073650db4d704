; An add-in's setup that installs the display rules with autoexp-setup.exe,
; unattended, and an uninstaller that takes them out again.
;
;   makensis -DPROGRAM=path\to\autoexp-setup.exe -DOUTFILE=addin-setup.exe addin.nsi
;
; builds a 32-bit setup around the 32-bit program, the pair that runs on
; every Windows from XP on; -DTARGET=amd64-unicode builds a 64-bit one.
;   addin-setup.exe /S [/DEBUGGERDIR="C:\Program Files\Debugger"] [/D=C:\AddIn]
;   C:\AddIn\uninstall.exe /S
;
; The debugger's folder, the one that holds Common7\Packages\Debugger\
; autoexp.dat, comes from where the debugger recorded it ("InstallDir" under
; HKLM\Software\Debugger here; put your debugger's key) or from
; /DEBUGGERDIR=. The setup's exit status is the program's: 0 when the rules
; are in, 1 when the program reported an error, 2 when there is no folder,
; 3 when the program could not be started.
;
; The program's traces (its arguments, and on failure the "error:" line that
; names the file and the reason) come through nsExec, which hands the program
; a standard error of its own: they are shown in the setup's details and
; added to autoexp-setup.log beside the uninstaller, which stays after a
; failed run so that the user, or support, can read why.

!ifndef PROGRAM
  !error "define PROGRAM, the path of autoexp-setup.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE addin-setup.exe
!endif

!ifdef TARGET
  Target ${TARGET}
!endif
Unicode true

!include FileFunc.nsh
!include LogicLib.nsh

Name "Display rules add-in"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Display rules add-in"
RequestExecutionLevel admin

Var DebuggerDir
Var Status

; Runs autoexp-setup.exe with ARGUMENTS for the step WHAT, waits for it,
; shows what it wrote in the details, adds it to the log and sets the exit
; status.
!macro RunRulesProgram WHAT ARGUMENTS
  nsExec::ExecToStack '"$INSTDIR\autoexp-setup.exe" ${ARGUMENTS}'
  Pop $Status  ; the exit status, or "error" when it could not be started
  Pop $0       ; its traces, one per line
  DetailPrint "autoexp-setup.exe ${WHAT}: exit status $Status"
  DetailPrint $0
  FileOpen $1 "$INSTDIR\autoexp-setup.log" a
  FileSeek $1 0 END
  FileWrite $1 "autoexp-setup.exe ${WHAT}: exit status $Status$\r$\n$0"
  FileClose $1
  ${If} $Status == "error"
    StrCpy $Status 3
  ${EndIf}
  SetErrorLevel $Status
!macroend

Section "Install"
  ${GetParameters} $0
  ReadRegStr $DebuggerDir HKLM "Software\Debugger" "InstallDir"
  ClearErrors
  ${GetOptions} $0 "/DEBUGGERDIR=" $1
  ${IfNot} ${Errors}
    StrCpy $DebuggerDir $1
  ${EndIf}
  ${If} $DebuggerDir == ""
    SetErrorLevel 2
    Abort "The debugger's folder is not known"
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "/oname=autoexp-setup.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Display rules add-in" "DebuggerDir" "$DebuggerDir"

  ; The base folder goes in quotes, with a blank before the closing quote:
  ; a backslash right before a quote would escape it, and the rest of the
  ; line would run into one argument. The program cuts the blank and the
  ; trailing backslashes. The sub-path has no blank and needs no quotes.
  ; Then the version tag, the mode, two fillers and the backup flag.
  !insertmacro RunRulesProgram install '"$DebuggerDir " \Common7\Packages\Debugger\ 71 I 0 0 1'
SectionEnd

Section "Uninstall"
  ReadRegStr $DebuggerDir HKLM "Software\Display rules add-in" "DebuggerDir"
  !insertmacro RunRulesProgram uninstall '"$DebuggerDir " \Common7\Packages\Debugger\ 71 U'
  ${If} $Status == 0
    Delete "$INSTDIR\autoexp-setup.log"
  ${EndIf}
  Delete "$INSTDIR\autoexp-setup.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "Software\Display rules add-in"
SectionEnd
