#!/usr/bin/env bash
# Builds bench_hardened and runs its small smoke sizes.
# Usage: tools/bench_hardened/bench-quick.sh [build-dir] [more bench_hardened arguments]
exec "$(dirname "$0")/../bench_common/bench-quick.sh" bench_hardened "$@"
