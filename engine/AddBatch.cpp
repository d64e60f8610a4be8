#include "engine/AddBatch.h"

#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <system_error>

#include "engine/ExceptionModule.h"
#include "engine/ProgressTracker.h"
#include "engine/ProtectedFile.h"
#include "engine/RecordStates.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/VaultOperations.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/Transaction.h"
#include "engine/storage/VaultSchema.h"

struct AddBatch::Item {
    nocase_wstring path;
    std::unique_ptr<ProtectedFile> tree;
    std::unique_ptr<ExceptionModule> error;
    // Past the checks: a failure from here on happened while it was moved
    // or encrypted, and its report names the path.
    bool prepared = false;
    nocase_wstring originalFolder;
    nocase_wstring originalName;
    PendingCleanup moved;
    // Why its move into the vault failed, until the move is undone.
    std::unique_ptr<ExceptionModule> moveFailure;
    PendingCleanup encrypted;
    std::unique_ptr<ExceptionModule> encryptionFailure;

    [[nodiscard]] bool going() const { return tree && !error; }
    void fail(const ExceptionModule& failure) { error = std::make_unique<ExceptionModule>(failure); }
};

namespace {

// The path as it lies on disk (links resolved), or as given when it does not exist.
std::string resolvedOnDisk(const nocase_wstring& path)
{
    const std::string narrow = toNarrow(makeAbsolute(trimTrailingSlashes(path)));
    char* real = ::realpath(narrow.c_str(), nullptr);
    if (real == nullptr)
        return narrow;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

// The paths of one call to add, as they lie on disk: the same path twice,
// or one inside another, would move a tree whose parts another entry has
// already taken.
class GivenPaths {
public:
    // True when path is one given before, holds one, or lies inside one.
    [[nodiscard]] bool overlaps(const std::string& path) const
    {
        if (paths.count(path) || ancestors.count(path))
            return true;
        for (std::string up = parentOf(path); !up.empty(); up = parentOf(up))
            if (paths.count(up))
                return true;
        return false;
    }
    void add(const std::string& path)
    {
        paths.insert(path);
        for (std::string up = parentOf(path); !up.empty(); up = parentOf(up))
            ancestors.insert(up);
    }

private:
    static std::string parentOf(const std::string& path)
    {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || path == "/")
            return {};
        return slash == 0 ? std::string("/") : path.substr(0, slash);
    }

    std::set<std::string> paths;
    std::set<std::string> ancestors;
};

// One flush for every target the batch wrote: syncfs covers the whole file
// system, so any one path on it will do.
template <typename Items, typename Cleanup>
void flushOnce(Items& items, Cleanup cleanupOf)
{
    for (auto& item : items) {
        const PendingCleanup& cleanup = cleanupOf(item);
        if (!cleanup.flushPath.empty()) {
            flushFileSystem(cleanup.flushPath);
            return;
        }
    }
}

} // namespace

AddBatch::AddBatch(VaultEngine& vaultEngine)
    : engine(vaultEngine)
{
}

void AddBatch::run(const std::vector<nocase_wstring>& paths, const std::function<void(const Outcome&)>& onEach)
{
    engine.requireLogin();
    engine.requireWritable();
    VaultLock lock(engine);
    const VaultOperations operations(engine);
    ProgressTracker progress(engine.progressObserver);
    // Names given in this call stay taken for all of it: an entry that
    // failed half-way may have left rows under its name.
    std::set<nocase_wstring> reserved;
    GivenPaths given;
    std::size_t next = 0;
    while (next < paths.size()) {
        if (next > 0 && engine.progressObserver != nullptr && engine.progressObserver->stopRequested()) {
            for (; next < paths.size(); ++next)
                onEach(Outcome {paths[next], nullptr, nullptr});
            return;
        }
        std::vector<Item> items;
        uint64_t bytes = 0;
        while (next < paths.size() && items.size() < mostEntries && bytes < mostBytes) {
            Item item;
            item.path = paths[next++];
            try {
                // Refused before anything moves; the first of them is added.
                const std::string onDisk = resolvedOnDisk(item.path);
                if (given.overlaps(onDisk))
                    throw ExceptionModule(L"This path is given twice, or lies inside another given with it: "
                                              + makeAbsolute(trimTrailingSlashes(item.path)),
                                          L"");
                item.tree = operations.prepareTree(item.path, false);
                given.add(onDisk);
                item.tree->display_name = operations.freeDisplayName(item.tree->display_name, &reserved);
                reserved.insert(item.tree->display_name);
                bytes += item.tree->size;
                progress.addWork(*item.tree);
                item.prepared = true;
            } catch (const ExceptionModule& failure) {
                item.fail(failure);
            }
            items.push_back(std::move(item));
        }
        try {
            protectAll(items, progress);
        } catch (const ExceptionModule& failure) {
            // A step of the whole batch failed: what it planned stays
            // pending in the rows, for recovery to settle.
            engine.distrustEntries();
            for (Item& item : items)
                if (item.going())
                    item.fail(failure);
        }
        // Many paths failing alike (a full disk) each say which.
        for (Item& item : items) {
            if (item.going() || !item.prepared)
                continue;
            const std::string message = item.error->getMessage();
            if (message.find(toNarrow(item.path)) == std::string::npos)
                item.error = std::make_unique<ExceptionModule>(L"Cannot add " + item.path + L": " + toWide(message),
                                                               toWide(item.error->getCause()));
        }
        // Every entry of the batch joins the in-memory entries before any
        // is reported, so that what a report asks of the engine (a folder's
        // contents) finds it. Entries not read yet stay in the rows, and the
        // record lives here until it has been reported.
        std::vector<const ProtectedFile*> added(items.size(), nullptr);
        for (std::size_t i = 0; i < items.size(); ++i) {
            Item& item = items[i];
            if (!item.going())
                continue;
            added[i] = item.tree.get();
            if (engine.entriesAreRead()) {
                const nocase_wstring name = item.tree->display_name;
                engine.keepEntry(name, std::move(item.tree));
            }
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (added[i] != nullptr)
                onEach(Outcome {items[i].path, added[i], nullptr});
            else
                onEach(Outcome {items[i].path, nullptr, items[i].error.get()});
        }
    }
}

void AddBatch::protectAll(std::vector<Item>& items, ProgressTracker& progress)
{
    const auto anyGoing = [&] {
        for (const Item& item : items)
            if (item.going())
                return true;
        return false;
    };
    if (!anyGoing())
        return;
    VaultOperations operations(engine);
    Query query(*engine.database);
    // Only the user's vault takes the user's files in. A temporary vault
    // (composing a package) encrypts copies and leaves every source as it is.
    const bool movesIn = engine.kind == EngineKind::UserVault;

    // Moving in: every body goes into the vault under a name of its own.
    Transforms moves(query, engine);
    const nocase_wstring moveRoot =
        engine.settings[vaultschema::encryptionSetting] == "None" ? engine.workFolder : engine.vaultFolder;
    if (movesIn) {
        Transaction transaction(query);
        for (Item& item : items) {
            if (!item.going())
                continue;
            item.originalFolder = item.tree->current_root;
            item.originalName = item.tree->current_path;
            moves.planMove(*item.tree, moveRoot, uniqueId(), true);
        }
        transaction.commit();
    }
    if (movesIn)
        stepboundary::reached("move planned");

    // Encrypting: every file under a key of its own; the plain copies go
    // only once every encrypted body of the batch is on the disk. The move's
    // finish and the encryption's plan share one transaction, and each row
    // is written once for both: nothing happens on disk between them, and
    // each transaction writes every database page its rows lie on twice
    // (journal and file).
    Transforms crypts(query, engine, &progress);
    const std::string algorithm = operations.encryptionAlgorithmName();
    const auto writeFinishAndPlan = [&] {
        Transforms::JointWrites joint(crypts);
        for (Item& item : items) {
            if (!item.going())
                continue;
            if (movesIn)
                crypts.finishMove(*item.tree, true);
            crypts.planCrypt(*item.tree, engine.vaultFolder, uniqueId(), engine.password, algorithm, true);
        }
        joint.write();
    };
    if (!movesIn) {
        Transaction transaction(query);
        writeFinishAndPlan();
        transaction.commit();
    } else if (!moveBesideRows(items, query, moves, writeFinishAndPlan)) {
        // A move failed (or the rows did): the finish and plan were rolled
        // back, and each step is settled on its own.
        for (Item& item : items) {
            if (!item.going() || !item.moveFailure)
                continue;
            // What did move goes back into the folders it came from (which
            // stay), and the rows go; should that fail, they stay pending
            // and recovery settles them from the disk.
            item.moved = PendingCleanup {};
            try {
                operations.undoMoveIn(*item.tree, query, *item.moveFailure);
            } catch (const ExceptionModule& result) {
                item.fail(result);
            }
            engine.distrustEntries();
        }
        // The new names must be on disk before the finish says they are there.
        flushOnce(items, [](Item& item) -> const PendingCleanup& { return item.moved; });
        for (Item& item : items)
            Transforms::completeCleanup(item.moved);
        if (!anyGoing())
            return;
        Transaction transaction(query);
        writeFinishAndPlan();
        transaction.commit();
    }
    if (movesIn)
        stepboundary::reached("move finished");
    stepboundary::reached("encryption planned");
    for (Item& item : items) {
        if (!item.going())
            continue;
        progress.startEntry(item.tree->display_name);
        try {
            crypts.performCrypt(*item.tree, engine.password, true, !movesIn, &item.encrypted);
        } catch (const ExceptionModule& failure) {
            item.encryptionFailure = std::make_unique<ExceptionModule>(failure);
        }
    }
    flushOnce(items, [](Item& item) -> const PendingCleanup& { return item.encrypted; });
    if (finishBesideDeletions(items, crypts)) {
        stepboundary::reached("encryption finished");
        return;
    }
    for (Item& item : items) {
        if (!item.going() || item.encryptionFailure)
            continue;
        try {
            Transforms::completeCleanup(item.encrypted);
        } catch (const ExceptionModule& failure) {
            item.encryptionFailure = std::make_unique<ExceptionModule>(failure);
        }
    }
    for (Item& item : items) {
        if (!item.going() || !item.encryptionFailure)
            continue;
        if (!movesIn) {
            // Nothing of the user's moved: the source is where it was.
            item.fail(*item.encryptionFailure);
            continue;
        }
        try {
            operations.putBack(*item.tree, item.originalFolder, item.originalName, query, *item.encryptionFailure);
        } catch (const ExceptionModule& failure) {
            item.fail(failure);
            // Rows may stay behind it that memory does not hold.
            engine.distrustEntries();
        }
    }
    if (!anyGoing())
        return;
    {
        Transaction transaction(query);
        for (Item& item : items)
            if (item.going())
                crypts.finishCrypt(*item.tree, true);
        transaction.commit();
    }
    stepboundary::reached("encryption finished");
}

bool AddBatch::moveBesideRows(std::vector<Item>& items, Query& query, Transforms& moves,
                              const std::function<void()>& writeFinishAndPlan)
{
    // The renames wait for the file system, the finish and plan for the
    // processor (a key sealed for every file): the rows are written on
    // another thread while the files move here, where progress and step
    // boundaries are reported, in a transaction committed only once every
    // new name is on the disk. The moves read copies of the trees, which the
    // rows change as they go.
    RecordStates before;
    std::vector<std::unique_ptr<ProtectedFile>> moving(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].going())
            continue;
        before.keep(*items[i].tree);
        moving[i] = items[i].tree->clone();
    }
    std::optional<Transaction> transaction;
    transaction.emplace(query);
    std::future<void> rows;
    try {
        rows = std::async(std::launch::async, writeFinishAndPlan);
    } catch (const std::system_error&) {
        // No thread to spare: the rows are written after the moves.
    }
    bool moved = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!moving[i])
            continue;
        try {
            moves.performMove(*moving[i], false, &items[i].moved);
        } catch (const ExceptionModule& failure) {
            items[i].moveFailure = std::make_unique<ExceptionModule>(failure);
            moved = false;
        }
    }
    std::exception_ptr rowsFailure;
    try {
        if (rows.valid())
            rows.get();
        else if (moved)
            writeFinishAndPlan();
    } catch (...) {
        rowsFailure = std::current_exception();
    }
    if (!moved || rowsFailure) {
        transaction.reset();
        before.restore();
        if (!moved)
            return false;
    }
    // The new names must be on disk before the finish says they are there.
    flushOnce(items, [](Item& item) -> const PendingCleanup& { return item.moved; });
    for (Item& item : items)
        Transforms::completeCleanup(item.moved);
    if (rowsFailure)
        std::rethrow_exception(rowsFailure);
    transaction->commit();
    return true;
}

bool AddBatch::finishBesideDeletions(std::vector<Item>& items, Transforms& crypts)
{
    std::vector<const PendingCleanup*> cleanups;
    std::vector<ProtectedFile*> trees;
    for (Item& item : items) {
        if (!item.going())
            continue;
        // A file that failed puts its tree back first: the usual way.
        if (item.encryptionFailure)
            return false;
        cleanups.push_back(&item.encrypted);
        trees.push_back(item.tree.get());
    }
    if (trees.empty())
        return false;
    return crypts.cleanUpBesideRows(cleanups, trees, [&crypts, &trees] {
        for (ProtectedFile* tree : trees)
            crypts.finishCrypt(*tree, true);
    });
}
