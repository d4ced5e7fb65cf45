#!/usr/bin/env bash
# Builds the test programs whose tests use threads with ThreadSanitizer (in
# build-tsan, or $QV_BUILD_DIR) and runs those tests: the host-name lookups
# on their worker threads, the loop's cross-thread queue, and servers driven
# from threads of their own (as the service host runs the core).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QV_BUILD_DIR:-build-tsan}
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TSAN=ON -DQV_WERROR=ON \
  "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target net_tests app_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
"$dir/bin/net_tests" --gtest_brief=1 --gtest_filter='HostInfoManager*:EventLoop.*'
"$dir/bin/app_tests" --gtest_brief=1 --gtest_filter='Server*'
