#!/usr/bin/env bash
# Profiles where wall time goes under Wine by counting wineserver requests: every wait, event
# operation, posted message, pipe read and write of a Windows program is one request to the
# wineserver, and their number per relayed line or record is repeatable where timings are not.
# Runs the benchmark driver with the given arguments under a wineserver that traces every
# request (wineserver -d1), then prints the requests of each process and of its busiest threads.
#   bash bench/trace-requests.sh --only relay --repeats 1 --lines 1000 --service 'Z:\...\velotarnsvc.exe'
source "$(dirname "$0")/../scripts/common.sh"
trace="$BUILD/requests.trace"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -f -p -d1 2>"$trace" &
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
VELOTARN_WINE_TIMEOUT=${VELOTARN_WINE_TIMEOUT:-720} "$ROOT/scripts/wine-run" \
  "$BUILD/bench/velotarn_bench.exe" "$@"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
say "wineserver requests per process ($trace)"
awk -f "$ROOT/bench/request_counts.awk" "$trace"
