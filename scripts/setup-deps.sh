#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need
# (Qt 6 Widgets, Network, Concurrent, DBus and Test come with qt6-base-dev; the
# offscreen platform with qt6-qpa-plugins; a font so offscreen renders show text).
# Idempotent: packages already present are skipped without noise.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
  fonts-dejavu-core
  desktop-file-utils shared-mime-info appstream
  libsqlcipher-dev sqlcipher
  strace          # the tests that kill kist at a chosen system call
  libzip-dev zlib1g-dev
  libssl-dev openssl
  libsodium-dev   # Argon2id and key wrapping of hardened vaults
  libcurl4-openssl-dev
  libzxcvbn-dev   # the password strength estimator of the desktop program
  uuid-dev
  libgtest-dev
  xvfb xauth imagemagick
  zip unzip p7zip-full
  xdg-utils desktop-file-utils shared-mime-info appstream
  libglib2.0-bin   # gio: how xdg-mime reads file types on GNOME, as the tests ask it
  python3
  dbus-daemon      # a private session bus for the desktop-session lock tests
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
