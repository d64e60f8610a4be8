#!/usr/bin/env bash
# Builds bench_vault and runs its small smoke sizes.
# Usage: tools/bench_vault/bench-quick.sh [build-dir] [more bench_vault arguments]
exec "$(dirname "$0")/../bench_common/bench-quick.sh" bench_vault "$@"
