#pragma once

// What a main window shows: the user's vault, a package opened from a path,
// or the package composer.
enum WindowMode : int {
    VaultMode = 0,
    OpenFileMode = 1,
    FileCreatorMode = 2,
};
