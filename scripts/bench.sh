#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks and the service, and runs every benchmark
# under Wine: our figures and a baseline measured side by side in one run. Prints the summary
# table and writes it as JSON to <build>/bench-results.json. Extra arguments go to the driver
# (bench/bench_main.cpp), e.g. --repeats 5. The tunnel rows (section tunnel) run the build's
# openvpn.exe (scripts/openvpn.sh) against two Linux openvpn servers on 127.0.0.1 that this
# script starts for the run and ends.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/openvpn-server.sh"
install_packages
prepare_prefix

# Whether the driver runs a section, by its --only list (none: every section).
runs_section() {
  local section=$1 only=
  shift
  while [ $# -gt 0 ]; do
    [ "$1" = --only ] && [ $# -gt 1 ] && only=$2
    shift
  done
  [ -z "$only" ] || [[ ",$only," == *",$section,"* ]]
}

say "building the benchmarks in $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD" -j "$(nproc)" --target velotarn_benchmarks
service_args=()
if cmake --build "$BUILD" -j "$(nproc)" --target velotarnsvc >"$BUILD/bench-service-build.log" 2>&1; then
  svc=$(find "$BUILD" -path "$WINEPREFIX" -prune -o -name velotarnsvc.exe -print -quit)
  [ -n "$svc" ] && service_args=(--service "Z:${svc//\//\\}")
else
  say "velotarnsvc.exe did not build (see $BUILD/bench-service-build.log): its rows report n/a"
fi
tunnel=0
if runs_section tunnel "$@"; then
  source "$ROOT/scripts/openvpn.sh"
  install_packages openvpn openssl
  if build_openvpn; then
    tunnel=1
  else
    say "openvpn.exe did not build: the tunnel rows report n/a"
  fi
fi

start_wineserver
# Whatever happens to the driver, leave no service registered in the prefix and no server running.
tunnel_servers=()
cleanup() {
  local pid
  for pid in "${tunnel_servers[@]}"; do OPENVPN_SERVER_PID=$pid stop_openvpn_server; done
  wine sc stop svVelotarn >/dev/null 2>&1 || true
  wine sc delete svVelotarn >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Two servers, used in turn: one takes one client at a time, and after a killed client it needs
# its 5 s ping time-out before it takes the next. Their logs tell the driver when that is.
tunnel_args=()
if [ "$tunnel" = 1 ]; then
  tunnel_run=$BUILD/bench-openvpn
  rm -rf "$tunnel_run" && mkdir -p "$tunnel_run"
  ports=()
  for n in 1 2; do
    start_openvpn_server "$tunnel_run/server-$n.log" || break
    tunnel_servers+=("$OPENVPN_SERVER_PID")
    ports+=("$OPENVPN_SERVER_PORT")
  done
  if [ ${#ports[@]} = 2 ]; then
    say "Linux openvpn servers on 127.0.0.1 at udp ports ${ports[*]} (logs in $tunnel_run)"
    tunnel_args=(--openvpn "$(winpath "$OPENVPN_EXE")" --ovpn-pki "$(winpath "$OPENVPN_PKI")"
                 --ovpn-ports "${ports[0]},${ports[1]}" --ovpn-log-dir "$(winpath "$tunnel_run")")
  else
    say "the Linux openvpn servers did not start: the tunnel rows report n/a"
  fi
fi

json="$BUILD/bench-results.json"
rm -f "$json"
say "running the benchmarks (a few minutes)"
VELOTARN_WINE_TIMEOUT=${VELOTARN_WINE_TIMEOUT:-720} "$ROOT/scripts/wine-run" \
  "$BUILD/bench/velotarn_bench.exe" "${service_args[@]}" "${tunnel_args[@]}" --json "Z:${json//\//\\}" "$@"
