#!/usr/bin/env bash
# Installs what is missing, builds, runs the fuzz targets for a bounded time each, then the
# whole test suite under Wine. Exits non-zero when either finds a fault.
# --busy (first argument) keeps every core loaded with low-priority work for the whole run;
# further arguments go to ctest.
source "$(dirname "$0")/common.sh"
if [ "${1:-}" = --busy ]; then
  shift
  start_busy_load
fi
install_packages
prepare_prefix
build_all

fuzz_status=0
if [ "${VELOTARN_SKIP_FUZZ:-0}" != 1 ]; then
  bash "$ROOT/scripts/fuzz.sh" || fuzz_status=$?
fi

start_wineserver
say "running the tests"
cd "$BUILD"
test_status=0
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@" || test_status=$?
if [ $fuzz_status != 0 ]; then
  echo "the fuzz targets found a fault (see above)"
fi
[ $fuzz_status = 0 ] && [ $test_status = 0 ]
