#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the program's own
# sources (not the tests, the fuzz targets or bench/) and fails on any
# finding. Needs the compile commands of a build (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QV_BUILD_DIR:-build}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "check-tidy: clang-tidy is not installed; skipped" >&2
  exit 0
fi
if [ ! -f "$dir/compile_commands.json" ]; then
  echo "check-tidy: no $dir/compile_commands.json; build first" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.cc' | grep -vE '_test\.cpp$|^tests/|^bench/')
out=$(mktemp)
trap 'rm -f "$out"' EXIT
printf '%s\n' "${files[@]}" | xargs -P"$(nproc)" -n4 "$tidy" -p "$dir" --quiet >"$out" 2>/dev/null || true
if grep -qE '(warning|error):' "$out"; then
  grep -E -A3 '(warning|error):' "$out" >&2
  echo "check-tidy: findings above (the checks are in .clang-tidy)" >&2
  exit 1
fi
