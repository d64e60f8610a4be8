#!/usr/bin/env bash
# Installs KORVELIN Safehold for the current user into ~/.local: the programs
# (VaultDesk, kist) and their library, the menu entry, the .kzip and .kzipbkp
# file types, icons, the Dolphin and Nautilus file-manager actions and bash
# completion. Nothing outside your home folder is touched.
#
# Usage: scripts/install-desktop.sh [--build-dir DIR] [--no-build] [--uninstall]
#   --build-dir DIR  the CMake build folder to install from (default: build)
#   --no-build       install the build folder as it stands
#   --uninstall      remove everything an earlier run installed
set -euo pipefail
cd "$(dirname "$0")/.."

app_id=com.brannoway.KorvelinSafehold
prefix=$HOME/.local
share=$prefix/share
nautilus_dir="${XDG_DATA_HOME:-$HOME/.local/share}/nautilus/scripts/KORVELIN Safehold"
manifest=$share/$app_id/install-manifest.txt

build=build
do_build=1
action=install_for_user
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?--build-dir needs a folder}; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --uninstall) action=remove_installation; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-desktop.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done

say() { printf '%s\n' "$*"; }

# The desktop's caches, so menus, file types and icons show at once.
refresh_caches() {
  if command -v update-mime-database >/dev/null && [ -d "$share/mime" ]; then
    update-mime-database "$share/mime" && say "Updated the file-type database in $share/mime"
  fi
  if command -v update-desktop-database >/dev/null && [ -d "$share/applications" ]; then
    update-desktop-database "$share/applications" && say "Updated the menu database in $share/applications"
  fi
  if command -v gtk-update-icon-cache >/dev/null && [ -d "$share/icons/hicolor" ]; then
    gtk-update-icon-cache --force --ignore-theme-index --quiet "$share/icons/hicolor" \
      && say "Updated the icon cache in $share/icons/hicolor"
  fi
  local sycoca
  for sycoca in kbuildsycoca6 kbuildsycoca5; do
    if command -v "$sycoca" >/dev/null; then
      "$sycoca" >/dev/null 2>&1 && say "Updated KDE's service cache ($sycoca)"
      break
    fi
  done
  return 0
}

remove_installation() {
  if [ ! -f "$manifest" ]; then
    say "Nothing to remove: no installation found in $prefix ($manifest is missing)."
    return 0
  fi
  local path removed=0
  while IFS= read -r path || [ -n "$path" ]; do
    # Only what this script put under the prefix or the Nautilus folder.
    case $path in
      "$prefix"/*|"$nautilus_dir"/*) ;;
      *) say "Skipped $path (outside $prefix)"; continue ;;
    esac
    if [ -f "$path" ] || [ -L "$path" ]; then
      rm -f -- "$path"
      removed=$((removed + 1))
    fi
  done <"$manifest"
  rm -f -- "$manifest"
  rmdir -- "$nautilus_dir" "$share/$app_id" 2>/dev/null || true
  say "Removed $removed files of KORVELIN Safehold from $prefix."
  refresh_caches
  say "Your vault and settings stay where they are."
}

install_for_user() {
  if [ "$do_build" -eq 1 ]; then
    scripts/setup-deps.sh
    if [ ! -f "$build/CMakeCache.txt" ]; then
      cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    say "Building in $build ..."
    cmake --build "$build" -j"$(nproc)" >/dev/null
  fi
  if [ ! -f "$build/cmake_install.cmake" ]; then
    echo "install-desktop.sh: $build is not a configured build folder" >&2
    exit 1
  fi
  # An earlier installation goes first, so files it had and this one lacks do not linger.
  if [ -f "$manifest" ]; then
    remove_installation >/dev/null
  fi

  cmake --install "$build" --prefix "$prefix" >/dev/null
  say "Installed the programs, the library and the desktop files into $prefix:"
  local entries
  entries=$(mktemp)
  # CMake ends its list without a newline.
  sed -e '$a\' "$build/install_manifest.txt" >"$entries"
  sed "s|^$prefix/|  |" "$entries"

  # Nautilus: one copy of the action script per label, in a submenu of its own.
  local action_script=$share/$app_id/korvelin-nautilus-action label
  mkdir -p "$nautilus_dir"
  while IFS= read -r label; do
    install -m 0755 "$action_script" "$nautilus_dir/$label"
    printf '%s\n' "$nautilus_dir/$label" >>"$entries"
  done < <("$action_script" --list)
  say "Added the Files (Nautilus) actions to $nautilus_dir"

  mkdir -p "$(dirname "$manifest")"
  mv "$entries" "$manifest"
  printf '%s\n' "$manifest" >>"$manifest"
  refresh_caches

  case ":$PATH:" in
    *":$prefix/bin:"*) ;;
    *) say "Note: $prefix/bin is not on your PATH; add it (and log in again) so the menu entry and the file-manager actions find VaultDesk." ;;
  esac
  say "Done. Remove it again with: scripts/install-desktop.sh --uninstall"
}

"$action"
