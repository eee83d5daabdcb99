#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks and the service, and runs every benchmark
# under Wine: our figures and a baseline measured side by side in one run. Prints the summary
# table and writes it as JSON to <build>/bench-results.json. Extra arguments go to the driver
# (bench/bench_main.cpp), e.g. --repeats 5.
source "$(dirname "$0")/common.sh"
install_packages
prepare_prefix

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

start_wineserver
# Whatever happens to the driver, leave no service registered in the prefix.
cleanup() {
  wine sc stop svVelotarn >/dev/null 2>&1 || true
  wine sc delete svVelotarn >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

json="$BUILD/bench-results.json"
rm -f "$json"
say "running the benchmarks (a few minutes)"
VELOTARN_WINE_TIMEOUT=${VELOTARN_WINE_TIMEOUT:-720} "$ROOT/scripts/wine-run" \
  "$BUILD/bench/velotarn_bench.exe" "${service_args[@]}" --json "Z:${json//\//\\}" "$@"
