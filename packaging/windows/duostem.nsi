; duostem's Windows setup program: installs for the current user, without an
; administrator, into %LOCALAPPDATA%\Programs\duostem (/D=FOLDER for another),
; with a Start-menu folder, an entry in "Apps" and the folder on the user's Path.
; /S installs, and the uninstaller's /S uninstalls, silently.
; scripts/package.sh runs makensis with these defined:
;   VERSION     the release's version
;   STAGE       the staged release folder, the zip's content
;   FILES       an include of the staged files, SetOutPath and File lines
;   UNFILES     an include that deletes them again, and the folders they made
;   PATH_ENTRY  path-entry.exe (its source beside this script)
;   SIZE_KB     the installed size
;   OUTFILE     the setup program to write
Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!include LogicLib.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\duostem"
!define MENU "$SMPROGRAMS\duostem"
!define REDISTRIBUTABLE "https://aka.ms/vs/17/release/vc_redist.x64.exe"

Name "duostem ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\duostem"
; An upgrade goes where the earlier version is, so "Apps" keeps one entry.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "duostem"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "duostem ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "duostem maintainers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "duostem"
  SetShellVarContext current
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU}"
  ; The studio keeps its stems in separated\ under the folder it starts in:
  ; the user's documents, never the program's folder.
  SetOutPath "$DOCUMENTS"
  CreateShortcut "${MENU}\duostem studio.lnk" "$INSTDIR\duostem-studio.exe" "" "$INSTDIR\duostem-studio.exe" 0 \
    SW_SHOWNORMAL "" "Separate songs in your browser"
  CreateShortcut "${MENU}\README.lnk" "$INSTDIR\README.txt"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "duostem"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "duostem maintainers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\duostem-studio.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; The user's Path can be longer than this script's strings: a program of
  ; duostem's edits it. Should that fail, Path stays as it was and a console
  ; entry in the Start menu gives the folder instead.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\path-entry.exe" "${PATH_ENTRY}"
  nsExec::ExecToLog '"$PLUGINSDIR\path-entry.exe" add "$INSTDIR"'
  Pop $0
  ${If} $0 != 0
    CreateShortcut "${MENU}\duostem console.lnk" "$SYSDIR\cmd.exe" '/k set "PATH=$INSTDIR;%PATH%"'
    MessageBox MB_ICONEXCLAMATION|MB_OK "duostem could not be added to your Path, which was left as it was. \
      To use duostem from a console, open $\"duostem console$\" in the Start menu." /SD IDOK
  ${EndIf}

  ; onnxruntime.dll needs the Visual C++ runtime; duostem runs without it only
  ; to say so, so the setup warns and goes on.
  ${IfNot} ${FileExists} "$SYSDIR\vcruntime140.dll"
  ${OrIfNot} ${FileExists} "$SYSDIR\msvcp140.dll"
    DetailPrint "The Microsoft Visual C++ Redistributable 2015-2022 for x64 is missing: ${REDISTRIBUTABLE}"
    MessageBox MB_ICONEXCLAMATION|MB_OK "duostem needs the Microsoft Visual C++ Redistributable 2015-2022 for x64, \
      which this system lacks (vcruntime140.dll, msvcp140.dll). Install it from ${REDISTRIBUTABLE}" /SD IDOK
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  InitPluginsDir
  File "/oname=$PLUGINSDIR\path-entry.exe" "${PATH_ENTRY}"
  nsExec::ExecToLog '"$PLUGINSDIR\path-entry.exe" remove "$INSTDIR"'
  Pop $0
  ${If} $0 != 0
    DetailPrint "$INSTDIR could not be taken off your Path"
  ${EndIf}

  ; Only what the setup wrote, by name: stems a user saved in these folders stay.
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "${MENU}\duostem studio.lnk"
  Delete "${MENU}\README.lnk"
  Delete "${MENU}\duostem console.lnk"
  RMDir "${MENU}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
