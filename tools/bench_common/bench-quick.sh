#!/usr/bin/env bash
# Builds one benchmark and runs it with --quick.
# Usage: tools/bench_common/bench-quick.sh TARGET [build-dir] [more arguments]
set -euo pipefail
target=${1:?usage: bench-quick.sh TARGET [build-dir] [more arguments]}
shift
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIST_BUILD_DESKTOP=OFF >/dev/null
fi
log=$(cmake --build "$build" --target "$target" -j2 2>&1) || { echo "$log" >&2; exit 1; }
"$build/tools/$target/$target" --quick "$@"
