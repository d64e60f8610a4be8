#!/usr/bin/env bash
# Builds bench_crypto and runs it on a 64 MiB file.
# Usage: tools/bench_crypto/bench-quick.sh [build-dir] [more bench_crypto arguments]
exec "$(dirname "$0")/../bench_common/bench-quick.sh" bench_crypto "$@"
