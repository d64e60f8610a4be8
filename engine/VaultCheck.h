#pragma once

#include "engine/KistCheckReport.h"

class VaultEngine;

// The vault check users can run (kist check): under the lock it reads every
// row and every body, decrypts each body with its key into a private scratch
// file (in memory where /dev/shm exists) that goes at once, and reports
// bodies missing or not decrypting to their recorded size, files and folders
// in the vault folder that no row names, rows still pending, rows without
// their folder, entries whose rows cannot be read and top-level names that
// occur twice. Changes nothing.
class VaultCheck {
public:
    explicit VaultCheck(VaultEngine& engine);

    [[nodiscard]] KistCheckReport run();

private:
    VaultEngine& engine;
};
