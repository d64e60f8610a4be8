#!/usr/bin/env bash
# Builds bench_adds and runs its small smoke sizes.
# Usage: tools/bench_adds/bench-quick.sh [build-dir] [more bench_adds arguments]
exec "$(dirname "$0")/../bench_common/bench-quick.sh" bench_adds "$@"
