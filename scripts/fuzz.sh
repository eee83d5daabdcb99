#!/usr/bin/env bash
# Builds the fuzz targets natively (clang, libFuzzer, ASan, UBSan) and runs each for a bounded
# time on its corpus in tests/fuzz/corpus/<target>. Fails on any finding. New inputs that add
# coverage are written to $BUILD/fuzz-new/<target>; keep the worthwhile ones by copying them
# into the corpus (scripts/fuzz.sh --merge merges them in, minimised).
source "$(dirname "$0")/common.sh"
install_packages clang libclang-rt-14-dev
SECONDS_EACH=${VELOTARN_FUZZ_SECONDS:-30}
FUZZ_BUILD=$BUILD/fuzz
say "building the fuzz targets in $FUZZ_BUILD"
if [ ! -f "$FUZZ_BUILD/build.ninja" ]; then
  CXX=clang++ cmake -S "$ROOT/tests/fuzz" -B "$FUZZ_BUILD" -G Ninja >/dev/null
fi
cmake --build "$FUZZ_BUILD" -j "$(nproc)"
status=0
for exe in "$FUZZ_BUILD"/*_fuzz; do
  name=$(basename "$exe")
  corpus=$ROOT/tests/fuzz/corpus/$name
  fresh=$BUILD/fuzz-new/$name
  mkdir -p "$corpus" "$fresh"
  if [ "${1:-}" = "--merge" ]; then
    "$exe" -merge=1 "$corpus" "$fresh" >/dev/null 2>&1
    continue
  fi
  say "fuzzing $name for ${SECONDS_EACH}s"
  if ! (cd "$fresh" && "$exe" -max_total_time="$SECONDS_EACH" -max_len=8192 -timeout=10 \
          -rss_limit_mb=2048 -print_final_stats=0 "$fresh" "$corpus" 2>"$BUILD/fuzz-$name.log"); then
    echo "FINDING in $name: see $BUILD/fuzz-$name.log and the crash-* file in $fresh"
    tail -40 "$BUILD/fuzz-$name.log"
    status=1
  else
    grep -E '^#[0-9]+.*DONE|Done [0-9]+ runs' "$BUILD/fuzz-$name.log" | tail -1
  fi
done
exit $status
