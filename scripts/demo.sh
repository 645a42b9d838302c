#!/usr/bin/env bash
# The main job: build download and show what it does.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages
cmake --preset release >/dev/null
cmake --build --preset release --target download
./build/release/app/download || true
