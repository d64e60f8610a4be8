#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/Strings.h"
#include "engine/platform/DropboxSettings.h"

// Where the engine finds the folders it writes to outside the vault.
enum FolderKind : int {
    LocalAppDataKind = 0, // $XDG_DATA_HOME, else ~/.local/share (created if missing)
    DesktopKind = 1,      // the XDG desktop folder, else ~/Desktop
    TempKind = 2,         // $TMPDIR, else /tmp
    DropboxKind = 3,      // the folder the Dropbox client's settings name
};

// The folder of the given kind, or with a non-empty subFolder (one or more
// safe relative components) that folder below it, created if missing.
// Sub-folders of local application data and of the temporary folder are
// private (0700); the others get ordinary modes.
[[nodiscard]] nocase_wstring resolveFolder(FolderKind kind, const nocase_wstring& subFolder = {});

// The desktop folder a user-dirs.dirs file names (its last XDG_DESKTOP_DIR
// line that is "$HOME/..." or an absolute path), or nothing.
[[nodiscard]] std::optional<std::string> desktopFromUserDirs(std::string_view contents, const std::string& home);

// Forgets the Dropbox folder found before, so that the next request reads the
// client's settings again.
void clearDropboxCache();
