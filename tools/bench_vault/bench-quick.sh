#!/usr/bin/env bash
# Builds bench_vault and runs its small smoke sizes.
# Usage: tools/bench_vault/bench-quick.sh [build-dir] [more bench_vault arguments]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIST_BUILD_DESKTOP=OFF >/dev/null
fi
log=$(cmake --build "$build" --target bench_vault -j2 2>&1) || { echo "$log" >&2; exit 1; }
"$build/tools/bench_vault/bench_vault" --quick "$@"
