#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
source "$(dirname "$0")/common.sh"
install_packages
prepare_prefix
build_all
start_wineserver
say "running the runtime under Wine"
"$ROOT/scripts/wine-run" "$BUILD/tests/runtime_tests.exe"
