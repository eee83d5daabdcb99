#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: velotarnsvc.exe is registered and
# started as the Windows service svVelotarn under Wine's service control manager; a client asks
# it over \\.\pipe\VelotarnOvpnPipe to run a real program that writes a line about every
# second, and shows each line (with the time it arrived) as the service relays it; then the
# service is stopped and removed. Every step is bounded in time, and nothing is left running.
source "$(dirname "$0")/common.sh"
install_packages
prepare_prefix
build_all
start_wineserver

SVC=$BUILD/src/service/velotarnsvc.exe
CTL=$BUILD/tools/velotarnctl/velotarnctl.exe
for exe in "$SVC" "$CTL"; do
  [ -f "$exe" ] || { echo "missing $exe: the build did not make it" >&2; exit 1; }
done

# One bounded Wine run; Wine's own diagnostics stay out of the way.
win() { timeout -k 5 "${LIMIT:-60}" wine "$@"; }

# Whatever happens below, the service is stopped and its registration removed before the
# prefix's wineserver (and with it every Wine process of the prefix) is ended.
finish() {
  local rc=$?
  if win sc query svVelotarn >/dev/null 2>&1; then
    say "stopping the service and removing it"
    win net stop svVelotarn 2>/dev/null || true
    win "$SVC" /uninstall /silent || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  exit $rc
}
trap finish EXIT

if win sc query svVelotarn >/dev/null 2>&1; then
  say "removing a registration left from an earlier run"
  win net stop svVelotarn 2>/dev/null || true
  win "$SVC" /uninstall /silent
fi

say "registering the service: velotarnsvc.exe /install /silent"
win "$SVC" /install /silent
echo "  the registration, as the service control manager keeps it:"
win reg query 'HKLM\System\CurrentControlSet\Services\svVelotarn' |
  sed -n 's/^ *\(DisplayName\|ImagePath\|Start\|Type\|ObjectName\) *REG_[A-Z_]* */    \1  /p'

say "starting it through the service control manager"
win net start svVelotarn
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

say "stopping the service and removing it"
win net stop svVelotarn
win "$SVC" /uninstall /silent
win sc query svVelotarn >/dev/null 2>&1 && { echo "svVelotarn is still registered" >&2; exit 1; }
echo "  svVelotarn is no longer registered"
