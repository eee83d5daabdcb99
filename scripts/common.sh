# Shared steps of the README commands: install what is missing, prepare the private Wine prefix,
# configure and build. Sourced by main.sh, test.sh and bench.sh; every step is idempotent.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VELOTARN_BUILD:-$ROOT/build}
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# wixl and msitools (msibuild) build the installer package.
PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64 wine wine64 googletest wixl msitools)

say() { printf '\n== %s\n' "$*"; }

# Steps run when the script ends, however it ends, in the order they were added.
EXIT_STEPS=()
at_exit() {
  EXIT_STEPS+=("$1")
  trap 'for step in "${EXIT_STEPS[@]}"; do eval "$step"; done' EXIT
}

# Keeps every core busy with low-priority work (nice VELOTARN_BUSY_NICE, default 19) until the
# script ends, as another build on the same machine would: a run of the suite that way shows the
# tests whose outcome or duration depends on having the CPUs to themselves.
start_busy_load() {
  local n pids=()
  for n in $(seq "$(nproc)"); do
    nice -n "${VELOTARN_BUSY_NICE:-19}" sha256sum /dev/zero >/dev/null 2>&1 &
    pids+=($!)
  done
  say "keeping $(nproc) cores busy at nice ${VELOTARN_BUSY_NICE:-19} (pids ${pids[*]})"
  at_exit "kill ${pids[*]} 2>/dev/null || true"
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

prepare_prefix() {
  mkdir -p "$BUILD"
  if [ ! -f "$WINEPREFIX/.velotarn-ready" ]; then
    say "creating the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    # Headless: hidden top-level windows need Wine's null graphics driver.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.velotarn-ready"
  fi
}

# Configures the tree when it is new or when the options differ from those it was configured
# with (a -D given later is not silently ignored), then builds.
build_all() {
  say "building in $BUILD"
  local options=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"
                 -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@")
  local stamp="$BUILD/.velotarn-configure-options"
  if [ ! -f "$BUILD/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "${options[*]}" ]; then
    cmake -S "$ROOT" -B "$BUILD" "${options[@]}"
    printf '%s' "${options[*]}" >"$stamp"
  fi
  cmake --build "$BUILD" -j "$(nproc)"
  # The real openvpn.exe of the tunnel tests, the main job and the benchmarks: built once.
  if [ "${VELOTARN_SKIP_OPENVPN:-0}" = 1 ]; then
    say "not building openvpn.exe (VELOTARN_SKIP_OPENVPN=1): the real-tunnel tests are skipped"
  else
    source "$ROOT/scripts/openvpn.sh"
    build_openvpn
  fi
}

# Keeps one wineserver alive for the prefix while the caller runs, and stops it afterwards.
# The first Wine program of a session starts Wine's own background processes (services.exe and
# the services it starts, winedevice.exe, ...), which inherit that program's standard handles:
# start them here with no pipe attached, or whoever reads a test program's output (ctest's test
# discovery) waits for an end of file that never comes. Their standard error goes to
# $BUILD/wine-session.log with the event log channel on, so a service's event log entries can
# be read there ("err:eventlog:ReportEventW ...").
start_wineserver() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p
  at_exit 'wineserver -k >/dev/null 2>&1 || true'
  WINEDEBUG=-all,err+eventlog wine cmd.exe /c exit </dev/null >/dev/null 2>>"$BUILD/wine-session.log"
  hold_desktop
}

# Wine's desktop process (explorer.exe) is started by whichever program first needs a window
# while there is no desktop, keeps that program's Unix standard error, and ends a second after
# the last program on the desktop. A test program that started it had its output held open, and
# ctest waiting for its end, for as long as other test programs kept the desktop busy. One
# program holds the desktop for the whole session instead, started here with no pipe attached;
# it says "ready" once the desktop is up, before any test runs. The wineserver's end ends it.
hold_desktop() {
  local holder=$BUILD/tests/support/session_desktop.exe fifo=$BUILD/.session-desktop.fifo line=
  [ -f "$holder" ] || return 0
  rm -f "$fifo"
  mkfifo "$fifo"
  WINEDEBUG=-all wine "$holder" </dev/null >"$fifo" 2>>"$BUILD/wine-session.log" &
  if ! read -r -t 60 line <"$fifo" || [ "${line%$'\r'}" != ready ]; then
    echo "the session's desktop did not come up" >&2
    rm -f "$fifo"
    return 1
  fi
  rm -f "$fifo"
}
