#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/ProtectedFile.h"

class ProgressTracker;
class Query;
class VaultEngine;

// Brings an entry whose transform was interrupted (a crash, a full disk, a
// killed process) back to rest from what its rows say and what lies on disk.
// Every pending record ends finished or undone, every body it names present,
// and in the user's vault no file is left plain inside the vault folder.
class Recovery {
public:
    Recovery(VaultEngine& engine, Query& query);

    // True when the tree has a pending transform or, in the user's vault, a
    // file that lies plain inside the vault.
    [[nodiscard]] bool isNeeded(const ProtectedFile& top) const;

    // Resolves the tree. Returns false when the entry left the vault (an
    // undone add, a finished take-out): its rows are gone.
    [[nodiscard]] bool recover(ProtectedFile& top);

    // Resolves the pending transforms only: a file that lies plain in the
    // vault afterwards stays plain (putting an entry back or delivering part
    // of it goes on from there). Returns what recover returns.
    [[nodiscard]] bool settle(ProtectedFile& top);

private:
    bool recoverMove(ProtectedFile& top);
    void completeMoves(ProtectedFile& record, std::vector<nocase_wstring>& emptied);
    // Whether every file of a move has its source or its destination.
    [[nodiscard]] bool canComplete(const ProtectedFile& top) const;
    // Deletes what a copy into the vault wrote, and its rows.
    void undoCopy(ProtectedFile& top);
    // Removes the partial copies (".kist-GUID.part") an interrupted move
    // left in the destination folders of the tree and beside its top, never
    // a name a record of the tree has.
    void removePartialCopies(const ProtectedFile& top);
    void recoverCryptTree(ProtectedFile& top);
    void recoverCrypt(ProtectedFile& record, bool forward);
    // Transforms the file again from its whole source to its target and
    // deletes the source; false (nothing changed) when that fails.
    bool finishFile(ProtectedFile& record);
    void rollBack(ProtectedFile& record);
    void rollForward(ProtectedFile& record);
    // The integrity tag of a file rolled forward: of the body it now has, or none.
    void retag(const ProtectedFile& record);
    // The tags of encrypted bodies that a move into the vault put in place
    // (at each record's destination), for those that are whole.
    [[nodiscard]] std::vector<std::pair<const ProtectedFile*, std::string>>
    tagsOfBodies(const std::vector<ProtectedFile*>& records) const;
    void encryptPlainFiles(ProtectedFile& top);

    VaultEngine& engine;
    Query& query;
};
