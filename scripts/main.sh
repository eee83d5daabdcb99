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

# A real tunnel: the built openvpn.exe, started by the service, against Debian's Linux openvpn
# on 127.0.0.1. Each line is shown as it arrives; once the tunnel is up, velotarnctl gets a
# Ctrl+C (Wine turns SIGINT into one), sends "disconnect" on its connection and shows the run's
# last lines and both end markers; its exit code says how the run ended.
source "$ROOT/scripts/openvpn-server.sh"
RUN=$(mktemp -d "${TMPDIR:-/tmp}/velotarn-main.XXXXXX")
SERVER_LOG=$RUN/server.log
trap 'rc=$?; stop_openvpn_server; rm -rf "$RUN"; (exit $rc); finish' EXIT
start_openvpn_server "$SERVER_LOG"
say "the Linux openvpn server listens on 127.0.0.1:$OPENVPN_SERVER_PORT (udp)"
PKI=$(winpath "$OPENVPN_PKI")
PROGRAM="\"$(winpath "$OPENVPN_EXE")\" --client --dev null --proto udp --remote 127.0.0.1 $OPENVPN_SERVER_PORT --nobind --ca \"$PKI\\ca.crt\" --cert \"$PKI\\client.crt\" --key \"$PKI\\client.key\" --verb 3 --ping 1 --ping-restart 10"
say "velotarnctl connect: the service runs $PROGRAM"
echo "  (each line as it arrives; Ctrl+C to velotarnctl once the tunnel is up)"
set +e
LIMIT=120 win "$CTL" --timeout 90 connect "$PROGRAM" 'C:\windows' 2>&1 | {
  while IFS= read -r line; do
    printf '  %s  %s\n' "$(date +%T)" "${line%$'\r'}"
    case $line in
      *"Initialization Sequence Completed"*)
        echo "  -- the tunnel is up: Ctrl+C to velotarnctl"
        pkill -INT -f '^C:.*velotarnctl\.exe' || true ;;  # the Wine process, not its timeout
    esac
  done
}
status=${PIPESTATUS[0]}
set -e
case $status in
  7) echo "  velotarnctl ended with exit code 7: Ctrl+C sent \"disconnect\", the service ended openvpn.exe and both end markers arrived" ;;
  *) echo "velotarnctl ended with exit code $status (7 expected)" >&2; exit 1 ;;
esac
echo "  the server saw the client go:"
grep -q -m1 'SIGUSR1\[soft,' < <(timeout 30 tail -F -n +1 "$SERVER_LOG" 2>/dev/null) &&
  grep -E 'Inactivity timeout|SIGUSR1\[soft,' "$SERVER_LOG" | sed 's/^/    server: /'

say "uninstalling the package: msiexec /x $(basename "$MSI") /qn"
LIMIT=180 win msiexec /x "$MSI_WIN" /qn
win sc query svVelotarn >/dev/null 2>&1 && { echo "svVelotarn is still registered" >&2; exit 1; }
[ -e "$WINEPREFIX/drive_c/Program Files/Velotarn" ] && { echo "its files are still there" >&2; exit 1; }
echo "  svVelotarn is no longer registered, and C:\\Program Files\\Velotarn is gone"
