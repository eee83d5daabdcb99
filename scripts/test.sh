#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under Wine.
source "$(dirname "$0")/common.sh"
install_packages
prepare_prefix
build_all
start_wineserver
say "running the tests"
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" --timeout 300 "$@"
