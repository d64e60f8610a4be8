#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Usage: scripts/test.sh [build-dir]   (KIST_SANITIZE=ON for an ASan/UBSan build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKIST_WERROR="${KIST_WERROR:-OFF}" -DKIST_SANITIZE="${KIST_SANITIZE:-OFF}" \
      -DKIST_LINE_TABLES="${KIST_LINE_TABLES:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Tests labelled "slow" (many GiB of disk traffic) run only when asked: ctest -L slow.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -LE slow
