#pragma once

#include <functional>
#include <vector>

#include "engine/Strings.h"

class ExceptionModule;
class ProgressTracker;
class ProtectedFile;
class Query;
class Transforms;
class VaultEngine;

// Adds many separate paths to the user's vault, each as a top-level entry of
// its own, with the steps of a single add taken together for a batch of
// entries: one transaction for every plan and every finish, one flush of the
// disk after the moves and one after the encryptions. The order of the steps
// is that of a single add, so a crash at any step leaves rows that recovery
// settles, and no plain source is deleted before its encrypted body is on
// the disk.
class AddBatch {
public:
    // One path's outcome: entry when it was added, error when it failed,
    // neither when a stop was requested before it.
    struct Outcome {
        nocase_wstring path;
        const ProtectedFile* entry = nullptr;
        const ExceptionModule* error = nullptr;
    };

    explicit AddBatch(VaultEngine& engine);

    // Under the vault lock, adds the paths in batches; onEach hears every
    // path's outcome in order, each batch's once it is done. Between
    // batches the progress observer may ask to stop.
    void run(const std::vector<nocase_wstring>& paths, const std::function<void(const Outcome&)>& onEach);

    // A batch closes at this many entries, or once its files hold this many
    // bytes: a stop request waits for at most one batch.
    static constexpr std::size_t mostEntries = 100;
    static constexpr uint64_t mostBytes = 8ull << 20;

private:
    struct Item;
    void protectAll(std::vector<Item>& items, ProgressTracker& progress);
    // When every file of the batch was encrypted: deletes the plain copies
    // while the finish is written, and commits it once they are gone. False
    // when that was not done (a file failed, or a copy stays): the finish is
    // then taken the usual way.
    static bool finishBesideDeletions(std::vector<Item>& items, Transforms& crypts);
    // Moves every going item into the vault while writeFinishAndPlan writes
    // the move's finish and the encryption's plan, and commits them once
    // the moves are on the disk. Returns false, with the rows rolled back,
    // memory as it was and each failed item's moveFailure set, when a move
    // failed; a failure of the rows alone is thrown once the moves are flushed.
    static bool moveBesideRows(std::vector<Item>& items, Query& query, Transforms& moves,
                               const std::function<void()>& writeFinishAndPlan);

    VaultEngine& engine;
};
