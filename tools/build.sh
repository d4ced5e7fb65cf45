#!/usr/bin/env bash
# Configures and builds into build/ (or $QV_BUILD_DIR) with extra cmake
# arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QV_BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=${QV_BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
