#!/usr/bin/env bash
# Installs what is missing, builds and starts the kist tool with the given
# arguments (none: its help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then
  set -- --help
fi
exec build/tools/kist/kist "$@"
