#!/usr/bin/env bash
# Builds bench_crypto and runs it on a 64 MiB file.
# Usage: tools/bench_crypto/bench-quick.sh [build-dir] [more bench_crypto arguments]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIST_BUILD_DESKTOP=OFF >/dev/null
fi
log=$(cmake --build "$build" --target bench_crypto -j2 2>&1) || { echo "$log" >&2; exit 1; }
"$build/tools/bench_crypto/bench_crypto" --quick "$@"
