#pragma once

#include "engine/KistCheckReport.h"

class VaultEngine;

// The vault check users can run (kist check): under the lock it reads every
// row and every body, decrypts each body with its key into a private scratch
// file (in memory where /dev/shm exists) that goes at once, and reports
// bodies missing or not decrypting to their recorded size, files and folders
// in the vault folder that no row names, rows still pending, rows without
// their folder, entries whose rows cannot be read and top-level names that
// occur twice. Every body's integrity tag is checked while it decrypts: a
// body whose tag differs is damaged; one without a tag is listed apart.
// Changes nothing, unless asked to add the missing tags of bodies that
// decrypt cleanly.
class VaultCheck {
public:
    explicit VaultCheck(VaultEngine& engine, bool addMissingTags = false);

    [[nodiscard]] KistCheckReport run();

private:
    VaultEngine& engine;
    bool addMissingTags;
};
