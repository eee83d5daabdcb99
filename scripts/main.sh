#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: the installer package is installed
# with Wine's msiexec as an administrator deploys it, which registers and starts the Windows
# service svVelotarn under Wine's service control manager; the installed client asks it over
# \\.\pipe\VelotarnOvpnPipe to run a real program that writes a line about every second, and
# shows each line (with the time it arrived) as the service relays it; then the package is
# uninstalled, which stops and removes the service. Every step is bounded in time, and nothing is
# left running.
source "$(dirname "$0")/common.sh"
install_packages
prepare_prefix
build_all
start_wineserver

VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
MSI=$BUILD/package/velotarnsvc-$VERSION-x64.msi
SVC=$BUILD/src/service/velotarnsvc.exe
for file in "$MSI" "$SVC"; do
  [ -f "$file" ] || { echo "missing $file: the build did not make it" >&2; exit 1; }
done

# One bounded Wine run; Wine's own diagnostics stay out of the way.
win() { timeout -k 5 "${LIMIT:-60}" wine "$@"; }
MSI_WIN=$(winepath -w "$MSI")
CTL='C:\Program Files\Velotarn\velotarnctl.exe'

# Whatever happens below, the package is uninstalled (and a registration that is left removed)
# before the prefix's wineserver (and with it every Wine process of the prefix) is ended.
finish() {
  local rc=$?
  if win reg query 'HKLM\System\CurrentControlSet\Services\svVelotarn' >/dev/null 2>&1; then
    say "uninstalling the package"
    LIMIT=180 win msiexec /x "$MSI_WIN" /qn || true
  fi
  if win sc query svVelotarn >/dev/null 2>&1; then
    win net stop svVelotarn 2>/dev/null || true
    win "$SVC" /uninstall /silent || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  exit $rc
}
trap finish EXIT

say "installing the package: msiexec /i $(basename "$MSI") /qn"
echo "  (a registration or an installation left from an earlier run is taken over or repaired)"
LIMIT=180 win msiexec /i "$MSI_WIN" /qn
echo "  the registration, as the service control manager keeps it:"
win reg query 'HKLM\System\CurrentControlSet\Services\svVelotarn' |
  sed -n 's/^ *\(DisplayName\|ImagePath\|Start\|Type\|ObjectName\) *REG_[A-Z_]* */    \1  /p'
win sc query svVelotarn | sed -n 's/^ *STATE *: */  state: /p'

# A real program that writes a line now and then. Wine's ping.exe holds its output back when it
# writes into a pipe, so cmd.exe echoes the lines and ping only waits between them.
PROGRAM='cmd.exe /c "echo line 1 of 5 & ping -n 2 127.0.0.1 >nul & echo line 2 of 5 & ping -n 2 127.0.0.1 >nul & echo line 3 of 5 & ping -n 2 127.0.0.1 >nul & echo line 4 of 5 & ping -n 2 127.0.0.1 >nul & echo line 5 of 5"'
say "velotarnctl connect: the service runs $PROGRAM"
echo "  (each line as it arrives from the service; the run ends after the second end marker)"
if ! LIMIT=90 win "$CTL" --timeout 60 connect "$PROGRAM" 'C:\windows' |
    while IFS= read -r line; do printf '  %s  %s\n' "$(date +%T)" "${line%$'\r'}"; done; then
  echo "velotarnctl failed" >&2
  exit 1
fi

say "uninstalling the package: msiexec /x $(basename "$MSI") /qn"
LIMIT=180 win msiexec /x "$MSI_WIN" /qn
win sc query svVelotarn >/dev/null 2>&1 && { echo "svVelotarn is still registered" >&2; exit 1; }
[ -e "$WINEPREFIX/drive_c/Program Files/Velotarn" ] && { echo "its files are still there" >&2; exit 1; }
echo "  svVelotarn is no longer registered, and C:\\Program Files\\Velotarn is gone"
