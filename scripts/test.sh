#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the native debug build with
# ASan+UBSan and all its tests, and the Windows cross build (download.exe),
# whose tests run it under Wine against pseudo-terminals.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages build windows fuzz package browser

# Windows first: the native tests run its download.exe under Wine.
cmake --preset windows >/dev/null
cmake --build --preset windows

cmake --preset debug >/dev/null
cmake --build --preset debug

# The optimised build too: its compiler sees warnings the debug build does not.
cmake --preset release >/dev/null
cmake --build --preset release

# One Wine prefix for every Wine test, complete before any test starts.
export DOWNLOAD_WINEPREFIX="$PWD/build/wineprefix"
prepare_wine_prefix "$DOWNLOAD_WINEPREFIX"
# A persistent wineserver started here, apart from the tests: one started by
# a test would inherit that test's output pipe and hold it open.
WINEPREFIX="$DOWNLOAD_WINEPREFIX" WINEDEBUG=-all wineserver -p >/dev/null 2>&1 </dev/null || true
trap 'WINEPREFIX="$DOWNLOAD_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true' EXIT

# The Wine tests fail, instead of skipping, when Wine or download.exe is missing.
export DOWNLOAD_REQUIRE_WINE=1

ctest --preset debug -j2

# The fuzz targets, 30 s each, two at a time, from their seed corpora (copied:
# the tree stays as it is). Any finding fails the run.
ensure_packages fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
./scripts/fuzz.sh 30

# The packages, checked as a user would meet them.
./scripts/package.sh
