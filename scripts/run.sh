#!/usr/bin/env bash
# Installs what is missing, builds and starts VaultDesk, the desktop program.
# Arguments go to VaultDesk: a package to open (a .kzip file), or /w for an
# empty File Creator window. Without a display it says so and names the kist
# tool, which reaches the same vault from a terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target VaultDesk kist >/dev/null

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'TEXT'
VaultDesk is built (build/desktop/VaultDesk), but it is a desktop program and no
display is available here: neither DISPLAY nor WAYLAND_DISPLAY is set.

Start it from a desktop session, or use the kist tool, which reaches the same
vault from this terminal:
  build/tools/kist/kist --help
  build/tools/kist/kist list
TEXT
  exit 1
fi
exec build/desktop/VaultDesk "$@"
