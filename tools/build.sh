#!/usr/bin/env bash
# Configures and builds into build/ (or $QV_BUILD_DIR) with extra cmake
# arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QV_BUILD_DIR:-build}
launcher=()
# ccache, when present, lets several build trees share their compilations.
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=${QV_BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
