#!/usr/bin/env bash
# Fails when a folder includes a folder above it. Bottom to top:
#   core net settings store sched service reader feed app ui
# A file may include its own folder and the folders below it. Unit tests
# (*_test.cpp, and the headers only they use, named *Test*.h) may also
# include tests/; tests/ and bench/ may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."
order=(core net settings store sched service reader feed app ui)
declare -A rank
for i in "${!order[@]}"; do rank[${order[$i]}]=$i; done
bad=0
while IFS= read -r file; do
  folder=${file%%/*}
  [ -n "${rank[$folder]+x}" ] || continue
  while IFS=: read -r line target; do
    inc=${target%%/*}
    if [ "$inc" = tests ]; then
      # Test code may use the shared test helpers.
      case "$file" in *_test.cpp|*Test*.h) continue ;; esac
    fi
    if [ -z "${rank[$inc]+x}" ] || [ "${rank[$inc]}" -gt "${rank[$folder]}" ]; then
      echo "$file:$line: $folder/ includes $inc/ (only $folder/ and the folders below it)" >&2
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z_]+/' "$file" |
           sed -E 's/^([0-9]+):.*"([^"]+)".*/\1:\2/')
done < <(git ls-files '*.h' '*.cpp' '*.cc')
if [ "$bad" -ne 0 ]; then
  echo "layering: a folder includes one above it (order: ${order[*]})" >&2
  exit 1
fi
