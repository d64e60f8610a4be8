#include "engine/VaultOperations.h"

#include "engine/AddBatch.h"
#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/KistFile.h"
#include "engine/PackageReading.h"
#include "engine/ProgressTracker.h"
#include "engine/Recovery.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

#include <cerrno>
#include <climits>
#include <functional>
#include <unistd.h>

namespace {

constexpr int kLastNameNumber = 9999;

// Folders add up the sizes below them; sizes are 32-bit, so a folder of 4 GiB
// or more reads as the largest size there is.
uint64_t addSizes(uint64_t a, uint64_t b)
{
    const uint64_t total = a + b;
    return total > UINT32_MAX || total < a ? UINT32_MAX : total;
}

void refuseUnusableName(const nocase_wstring& name, const nocase_wstring& fullPath)
{
    // Stored paths use "/" and read a backslash as "/", so a name holding a
    // backslash could not be found again after a crash.
    if (name.find(L'\\') != nocase_wstring::npos)
        throw ExceptionModule(L"Cannot store a file whose name holds a backslash: " + fullPath, L"");
}

// Kind, volume and size of what lies at full. A link is never followed out
// of what the user chose, and what is neither file nor folder is not stored.
void describeFromDisk(ProtectedFile& record, const nocase_wstring& full, std::uint64_t largestFile)
{
    const PathInfo info = pathInfo(full);
    if (info.type == PathType::Symlink || info.type == PathType::Other)
        throw ExceptionModule(L"Cannot store a symbolic link, device, socket or pipe: " + full, L"");
    // The standard format's records and bodies hold 32-bit sizes; a hardened
    // vault's, 64-bit ones.
    if (info.size > largestFile)
        throw ExceptionModule(L"File too large: " + full, L"");
    record.is_directory = info.isFolder;
    record.volume = info.volume;
    record.size = info.size;
    // Every file must be readable (and every folder listable) before
    // anything moves: one that is not would be trapped half-way.
    if (::access(toNarrow(full).c_str(), info.isFolder ? (R_OK | X_OK) : R_OK) != 0)
        throw ExceptionModule(L"Cannot read the file: " + full, systemErrorText(errno));
}

} // namespace

VaultOperations::VaultOperations(VaultEngine& vaultEngine)
    : engine(vaultEngine)
{
}

std::string VaultOperations::encryptionAlgorithmName() const
{
    const auto found = engine.settings.find(vaultschema::encryptionSetting);
    if (found == engine.settings.end() || (found->second != "CALG_AES_128" && found->second != "CALG_AES_256"))
        return vaultschema::defaultEncryption;
    return found->second;
}

nocase_wstring VaultOperations::freeDisplayName(const nocase_wstring& name,
                                                const std::set<nocase_wstring>* reserved) const
{
    const auto taken = [&](const nocase_wstring& candidate) {
        return engine.hasEntryNamed(candidate) || (reserved != nullptr && reserved->count(candidate) != 0);
    };
    if (!taken(name))
        return name;
    for (int number = 2; number <= kLastNameNumber; ++number) {
        const nocase_wstring candidate = name + L" (" + toWide(std::to_string(number)) + L")";
        if (!taken(candidate))
            return candidate;
    }
    throw ExceptionModule(L"Too many files with the same name have been stored. Try changing the name of the file "
                          L"before storing it.",
                          L"");
}

std::unique_ptr<ProtectedFile> VaultOperations::buildRecordTree(const nocase_wstring& path) const
{
    const nocase_wstring full = trimTrailingSlashes(path);
    auto record = std::make_unique<ProtectedFile>();
    record->current_root = parentFolder(full);
    record->current_path = lastComponent(full);
    if (record->current_path.empty())
        throw ExceptionModule(L"Cannot find the file: " + path, L"");
    record->raw_file_name = record->current_path;
    record->display_name = record->raw_file_name;
    refuseUnusableName(record->raw_file_name, full);
    record->unique_name = uniqueId();
    describeFromDisk(*record, full, engine.bodyFormat().largestPlainSize());
    if (record->is_directory)
        addChildren(*record);
    return record;
}

void VaultOperations::addChildren(ProtectedFile& folder) const
{
    const nocase_wstring folderPath = folder.sourcePath();
    std::vector<nocase_wstring> names;
    listFolder(folderPath, names);
    for (const nocase_wstring& name : names) {
        const nocase_wstring full = joinPath(folderPath, name);
        refuseUnusableName(name, full);
        auto child = std::make_unique<ProtectedFile>();
        child->current_root = folder.current_root;
        child->current_path = joinPath(folder.current_path, name);
        child->raw_file_name = name;
        child->display_name = name;
        child->parent = folder.unique_name;
        child->unique_name = uniqueId();
        describeFromDisk(*child, full, engine.bodyFormat().largestPlainSize());
        if (child->is_directory)
            addChildren(*child);
        folder.size = addSizes(folder.size, child->size);
        folder.children.push_back(std::move(child));
    }
}

std::unique_ptr<ProtectedFile> VaultOperations::prepareTree(const nocase_wstring& path, bool inMemoryOnly) const
{
    const nocase_wstring full = makeAbsolute(trimTrailingSlashes(path));
    // Judged on disk, not by the path texts: $HOME or $XDG_DATA_HOME reached
    // through a link must not let the vault be moved into itself.
    const bool guardVault = !inMemoryOnly && engine.kind == EngineKind::UserVault;
    if (guardVault) {
        if (liesWithinOnDisk(full, engine.vaultFolder))
            throw ExceptionModule(L"Cannot store a file that is part of the vault itself: " + full, L"");
        if (liesWithinOnDisk(engine.vaultFolder, full))
            throw ExceptionModule(L"You cannot copy a parent folder into its child: " + full, L"");
    }
    auto tree = buildRecordTree(full);
    if (guardVault) {
        // A bind mount can show the vault folder again anywhere in the tree.
        tree->forEach([&](const ProtectedFile& record) {
            if (record.is_directory && isSameOnDisk(record.sourcePath(), engine.vaultFolder))
                throw ExceptionModule(L"You cannot copy a parent folder into its child: " + full, L"");
        });
    }
    return tree;
}

void VaultOperations::addFile(const nocase_wstring& path, KistFile& out, bool inMemoryOnly, bool checkLogin)
{
    if (checkLogin)
        engine.requireLogin();
    if (!inMemoryOnly && engine.kind == EngineKind::UserVault) {
        // The user's vault adds one path as a batch of one: the same steps
        // in the same order as a batch of many.
        std::unique_ptr<ExceptionModule> failure;
        AddBatch(engine).run({path}, [&](const AddBatch::Outcome& outcome) {
            if (outcome.error)
                failure = std::make_unique<ExceptionModule>(*outcome.error);
            else if (outcome.entry)
                outcome.entry->fillKistFile(out);
        });
        if (failure)
            throw ExceptionModule(*failure);
        return;
    }
    std::unique_ptr<VaultLock> lock;
    if (!inMemoryOnly)
        lock = std::make_unique<VaultLock>(engine);
    else
        (void)engine.entries(); // the entry lives only in them
    auto tree = prepareTree(path, inMemoryOnly);
    tree->display_name = freeDisplayName(tree->display_name);
    if (!inMemoryOnly) {
        ProgressTracker progress(engine.progressObserver);
        progress.addWork(*tree);
        progress.startEntry(tree->display_name);
        Query query(*engine.database);
        protect(*tree, query, &progress);
    }
    tree->fillKistFile(out);
    const nocase_wstring name = tree->display_name;
    if (inMemoryOnly)
        engine.entries()[name] = std::move(tree);
    else
        engine.keepEntry(name, std::move(tree));
}

void VaultOperations::protect(ProtectedFile& tree, Query& query, ProgressTracker* progress)
{
    if (engine.kind != EngineKind::UserVault) {
        encryptTree(tree, query, progress);
        return;
    }
    const nocase_wstring originalFolder = tree.current_root;
    const nocase_wstring originalName = tree.current_path;
    Transforms transforms(query, engine);
    const nocase_wstring root =
        engine.settings[vaultschema::encryptionSetting] == "None" ? engine.workFolder : engine.vaultFolder;
    {
        Transaction transaction(query);
        transforms.planMove(tree, root, uniqueId(), true);
        transaction.commit();
    }
    stepboundary::reached("move planned");
    try {
        transforms.performMove(tree, false);
    } catch (const ExceptionModule& failure) {
        undoMoveIn(tree, query, failure);
    }
    {
        Transaction transaction(query);
        transforms.finishMove(tree, true);
        transaction.commit();
    }
    stepboundary::reached("move finished");
    try {
        encryptTree(tree, query, progress);
    } catch (const ExceptionModule& failure) {
        putBack(tree, originalFolder, originalName, query, failure);
    }
}

void VaultOperations::putBack(const ProtectedFile& tree, const nocase_wstring& originalFolder,
                              const nocase_wstring& originalName, Query& query, const ExceptionModule& failure)
{
    // The tree goes back where it was, from what its rows say.
    try {
        auto stored = reloadEntry(tree.unique_name);
        if (stored && Recovery(engine, query).settle(*stored))
            deliver(*stored, originalFolder, freeTargetName(originalFolder, originalName, stored->is_directory),
                    query, nullptr);
        // Folders of the move and of the encryption that nothing lies in
        // any more.
        std::vector<nocase_wstring> folders;
        tree.forEach([&](const ProtectedFile& record) {
            if (record.is_directory && isInsideOrSame(record.sourcePath(), engine.vaultFolder))
                folders.push_back(record.sourcePath());
        });
        tree.forEach([&](const ProtectedFile& record) {
            if (record.is_directory && isInsideOrSame(record.destinationPath(), engine.vaultFolder))
                folders.push_back(record.destinationPath());
        });
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            Transforms::removeIfEmpty(*folder);
    } catch (const ExceptionModule&) {
        // It stays in the vault, whole; the next listing recovers it.
        throw ExceptionModule(failure);
    }
    throw ExceptionModule(toWide(failure.getMessage()) + L" Nothing was added: the files are back where they were.",
                          toWide(failure.getCause()));
}

void VaultOperations::undoMoveIn(ProtectedFile& tree, Query& query, const ExceptionModule& failure)
{
    // Whatever happens here, memory may no longer match the rows.
    engine.distrustEntries();
    bool back = false;
    try {
        // Folders first (each is still there unless the move emptied it),
        // then what arrived in the vault goes back under its own name.
        const std::function<void(ProtectedFile&)> moveBack = [&](ProtectedFile& record) {
            if (record.pending_transform != MoveIntoVault)
                return;
            const nocase_wstring source = record.sourcePath();
            const nocase_wstring destination = record.destinationPath();
            if (record.is_directory) {
                if (!pathExists(source))
                    createFolder(source, false);
                for (auto& child : record.children)
                    moveBack(*child);
                return;
            }
            if (pathExists(destination) && !pathExists(source))
                movePath(destination, source, false);
        };
        moveBack(tree);
        flushFileSystem(parentFolder(tree.sourcePath()));
        std::vector<nocase_wstring> folders;
        tree.forEach([&](const ProtectedFile& record) {
            if (record.is_directory && record.pending_transform == MoveIntoVault)
                folders.push_back(record.destinationPath());
        });
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            Transforms::removeIfEmpty(*folder);
        if (!pathExists(tree.destinationPath())) {
            Transaction transaction(query);
            tree.forEach([&](ProtectedFile& record) {
                if (record.pending_transform == MoveIntoVault)
                    record.deleteRow(query);
            });
            transaction.commit();
            back = true;
        }
    } catch (const ExceptionModule&) {
        // Not all of it went back: the rows stay pending and the next
        // listing finishes the move from what lies where.
    }
    if (!back)
        throw ExceptionModule(failure);
    nocase_wstring message = toWide(failure.getMessage());
    while (!message.empty() && message.back() == L'\n')
        message.pop_back();
    throw ExceptionModule(message + L" Nothing was added: the files are back where they were.",
                          toWide(failure.getCause()));
}

std::unique_ptr<ProtectedFile> VaultOperations::reloadEntry(const nocase_wstring& uniqueName)
{
    Query query(*engine.database);
    Transaction snapshot(query);
    LoadedEntries loaded = loadEntriesFrom(
        query, formatStatement(vaultschema::selectEntryRows, sqlText(toNarrow(uniqueName)).c_str()), engine.vaultFolder);
    snapshot.commit();
    for (auto& [name, entry] : loaded.entries)
        if (sameExactly(entry->unique_name, uniqueName))
            return std::move(entry);
    return nullptr;
}

void VaultOperations::deliver(ProtectedFile& entry, const nocase_wstring& destination, const nocase_wstring& outName,
                              Query& query, ProgressTracker* progress)
{
    Transforms transforms(query, engine, progress);
    {
        Transaction transaction(query);
        transforms.planCrypt(entry, engine.workFolder, uniqueId(), engine.password, "None", false);
        transaction.commit();
    }
    stepboundary::reached("decryption planned");
    // Some bodies did not decrypt, or one could not be deleted: what did
    // decrypt is delivered, and every file whose body is still in place
    // stays in the vault.
    const auto undeliveredReport = [&](const ExceptionModule& failure) {
        const nocase_wstring undelivered = describeUndelivered(entry, toWide(failure.getMessage()));
        nocase_wstring report = deliverPart(entry, destination, query) + undelivered;
        while (!report.empty() && report.back() == L'\n')
            report.pop_back();
        return ExceptionModule(report, L"");
    };
    PendingCleanup bodies;
    try {
        transforms.performCrypt(entry, engine.password, false, false, &bodies);
        // Every plain copy is on the disk before a body goes.
        if (!bodies.flushPath.empty())
            flushFileSystem(bodies.flushPath);
    } catch (const ExceptionModule& failure) {
        if (isCancellation(failure)) {
            putToRest(entry, query);
            throw;
        }
        throw undeliveredReport(failure);
    }
    // Progress counted the files as they were decrypted; the renames
    // that follow are not counted again.
    Transforms moves(query, engine);
    // The decryption's finish and the move's plan share one transaction, and
    // each row is written once for both: nothing happens on disk between
    // them, and each transaction writes every database page its rows lie on
    // twice (journal and file). It is written while the bodies go.
    const auto writeFinishAndPlan = [&] {
        Transforms::JointWrites joint(transforms);
        transforms.finishCrypt(entry, false);
        transforms.planMove(entry, destination, outName, false);
        joint.write();
    };
    bool finished = false;
    try {
        finished = transforms.cleanUpBesideRows({&bodies}, {&entry}, writeFinishAndPlan);
    } catch (const ExceptionModule&) {
        // The rows are as the decryption left them, and so is memory, but
        // the bodies may be gone: recovery finishes the decryption.
        engine.distrustEntries();
        throw;
    }
    if (!finished) {
        try {
            Transforms::completeCleanup(bodies);
        } catch (const ExceptionModule& failure) {
            throw undeliveredReport(failure);
        }
        // Every body went on the second try after all.
        try {
            Transaction transaction(query);
            writeFinishAndPlan();
            transaction.commit();
        } catch (const ExceptionModule&) {
            engine.distrustEntries();
            throw;
        }
    }
    stepboundary::reached("decryption finished");
    stepboundary::reached("move planned");
    try {
        moves.performPlannedMove(entry, false);
    } catch (const ExceptionModule&) {
        // The plain copies must not wait inside the vault for the next
        // listing: the entry goes back to rest (encrypted) at once.
        try {
            (void)Recovery(engine, query).recover(entry);
        } catch (const ExceptionModule&) {
            // Left pending; the next listing tries again and says so.
        }
        throw;
    }
}

void VaultOperations::putToRest(ProtectedFile& entry, Query& query)
{
    // Every body is still in place: the plain copies made so far go and the
    // rows are as before the take-out.
    try {
        (void)Recovery(engine, query).settle(entry);
    } catch (const ExceptionModule&) {
        // Left pending; the next listing puts it back to rest.
        engine.distrustEntries();
    }
}

nocase_wstring VaultOperations::describeUndelivered(const ProtectedFile& entry, const nocase_wstring& failureText) const
{
    const bool cipherRefused = failureText.find(cryptoerrors::kCipherFailed) != nocase_wstring::npos;
    nocase_wstring lines;
    bool otherReason = false;
    const std::function<void(const ProtectedFile&, const nocase_wstring&)> walk = [&](const ProtectedFile& record,
                                                                                    const nocase_wstring& label) {
        if (record.is_directory) {
            for (const auto& child : record.children)
                walk(*child, label + L"/" + child->raw_file_name);
            return;
        }
        if (record.pending_transform != Decrypting || pathExists(record.destinationPath()))
            return;
        const nocase_wstring body = record.sourcePath();
        if (!pathExists(body))
            lines += L"missing: " + label + L"\n";
        else if (cipherRefused || pathInfo(body).size != engine.bodyFormat().bodyLength(record.size))
            lines += L"damaged: " + label + L"\n";
        else
            otherReason = true;
    };
    walk(entry, entry.display_name);
    if (otherReason || lines.empty())
        lines += failureText;
    return lines;
}

nocase_wstring VaultOperations::deliverPart(ProtectedFile& entry, const nocase_wstring& destination, Query& query)
{
    const nocase_wstring outName = freeTargetName(destination, entry.raw_file_name, entry.is_directory);
    const nocase_wstring top = joinPath(destination, outName);
    nocase_wstring problems;
    std::size_t files = 0;
    std::size_t delivered = 0;
    std::vector<nocase_wstring> made;
    // Files delivered whose bodies had already gone (a later body could not
    // be deleted), with the folders they lie in: they have left the vault.
    std::vector<std::pair<ProtectedFile*, ProtectedFile*>> gone;
    // Files delivered whose bodies stay: they are in the vault as well.
    nocase_wstring keptLines;
    // The plain copies are moved out; their bodies stay, so a crash here
    // loses nothing (recovery puts the entry back to rest).
    const std::function<void(ProtectedFile&, const nocase_wstring&, const nocase_wstring&, ProtectedFile*)> walk =
        [&](ProtectedFile& record, const nocase_wstring& out, const nocase_wstring& label, ProtectedFile* folder) {
            if (record.is_directory) {
                createFolder(out, false);
                made.push_back(out);
                for (auto& child : record.children)
                    walk(*child, joinPath(out, child->raw_file_name), label + L"/" + child->raw_file_name, &record);
                return;
            }
            ++files;
            if (record.pending_transform != Decrypting || !pathExists(record.destinationPath()))
                return;
            try {
                movePath(record.destinationPath(), out, false);
                ++delivered;
                if (pathExists(record.sourcePath()))
                    keptLines += label + L"\n";
                else if (folder != nullptr)
                    gone.emplace_back(folder, &record);
            } catch (const ExceptionModule& e) {
                problems += toWide(e.getMessage()) + L"\n";
            }
        };
    walk(entry, top, entry.display_name, nullptr);
    flushFileSystem(destination);
    if (!gone.empty())
        forgetDelivered(entry, gone, query);
    // Back to rest: every body left is in the vault, the copies left go.
    (void)Recovery(engine, query).settle(entry);
    if (delivered == 0) {
        // Nothing came out: no folder is left behind to suggest otherwise.
        for (auto folder = made.rbegin(); folder != made.rend(); ++folder)
            Transforms::removeIfEmpty(*folder);
        return entry.display_name + L" could not be taken out; it stays in the vault.\n" + problems;
    }
    if (delivered == files) {
        // Every file came out; what the vault keeps of them is a second copy.
        const nocase_wstring report = entry.display_name + L" is in " + top;
        if (keptLines.empty())
            return report + L".\n";
        if (!entry.is_directory)
            return report + L", but it is still in the vault as well: its encrypted copy could not be deleted.\n";
        return report + L", but these files are still in the vault as well: their encrypted copies could not be "
                        L"deleted.\n" + keptLines;
    }
    return L"Some files could not be taken out of " + entry.display_name + L"; the others are in " + top
           + L". It stays in the vault.\n" + problems;
}

void VaultOperations::forgetDelivered(ProtectedFile& entry,
                                      const std::vector<std::pair<ProtectedFile*, ProtectedFile*>>& gone,
                                      Query& query)
{
    // Their rows go, so the entry holds only what stays, and each folder's
    // size is that of what it still holds.
    const std::function<uint64_t(ProtectedFile&)> resize = [&](ProtectedFile& record) -> uint64_t {
        if (!record.is_directory)
            return record.size;
        uint64_t total = 0;
        for (auto& child : record.children)
            total = addSizes(total, resize(*child));
        if (total != record.size) {
            record.size = total;
            record.storeSize(query);
        }
        return total;
    };
    try {
        Transaction transaction(query);
        for (const auto& [folder, record] : gone)
            record->deleteRow(query);
        for (const auto& place : gone) {
            const ProtectedFile* record = place.second;
            std::erase_if(place.first->children, [record](const auto& child) { return child.get() == record; });
        }
        (void)resize(entry);
        transaction.commit();
    } catch (const ExceptionModule&) {
        // The rows stay pending, for recovery; memory no longer matches them.
        engine.distrustEntries();
        throw;
    }
}

void VaultOperations::encryptTree(ProtectedFile& tree, Query& query, ProgressTracker* progress)
{
    Transforms transforms(query, engine, progress);
    {
        Transaction transaction(query);
        transforms.planCrypt(tree, engine.vaultFolder, uniqueId(), engine.password, encryptionAlgorithmName(), true);
        transaction.commit();
    }
    stepboundary::reached("encryption planned");
    transforms.performCrypt(tree, engine.password, true, engine.kind != EngineKind::UserVault);
    {
        Transaction transaction(query);
        transforms.finishCrypt(tree, true);
        transaction.commit();
    }
    stepboundary::reached("encryption finished");
}

void VaultOperations::recoverEntries()
{
    auto& entries = engine.entries();
    engine.unsettledEntries.clear();
    std::vector<nocase_wstring> names;
    for (const auto& [name, entry] : entries)
        names.push_back(name);
    for (const nocase_wstring& name : names) {
        ProtectedFile& entry = *entries[name];
        Query query(*engine.database);
        Recovery recovery(engine, query);
        if (!recovery.isNeeded(entry))
            continue;
        try {
            if (!recovery.recover(entry))
                entries.erase(name);
        } catch (const ExceptionModule& failure) {
            // Left as it is; the next listing, adding or taking out tries
            // again, from the rows (memory may have moved on without them).
            engine.distrustEntries();
            nocase_wstring reason = toWide(failure.getMessage());
            if (!failure.getCause().empty())
                reason += L" (" + toWide(failure.getCause()) + L")";
            engine.unsettledEntries.emplace_back(name, reason);
        }
    }
}

void VaultOperations::listFiles(std::vector<KistFile*>& out)
{
    engine.requireLogin();
    if (engine.database) {
        VaultLock lock(engine);
        recoverEntries();
        // Once nothing pending may still need them, the unpacking folders
        // of packages whose programs died go.
        if (engine.kind == EngineKind::UserVault && engine.unsettledEntries.empty())
            PackageReading::removeLeftoverUnpackFolders();
    }
    for (const auto& [name, entry] : engine.entries()) {
        auto file = std::make_unique<KistFile>();
        entry->fillKistFile(*file);
        out.push_back(file.release());
    }
}

nocase_wstring VaultOperations::removeFile(const nocase_wstring& name, const nocase_wstring& destinationFolder)
{
    engine.requireLogin();
    engine.requireWritable();
    VaultLock lock(engine);
    auto& entries = engine.entries();
    auto found = entries.find(name);
    if (found == entries.end())
        throw ExceptionModule(L"No such file found in the store: " + name, L"");
    ProtectedFile& entry = *found->second;
    const nocase_wstring destination =
        destinationFolder.empty() ? engine.restoreFolder : makeAbsolute(trimTrailingSlashes(destinationFolder));
    if (!pathExists(destination) || !pathInfo(destination).isFolder)
        throw ExceptionModule(L"Cannot find the file: " + destination, L"");
    if (liesWithinOnDisk(destination, engine.vaultFolder))
        throw ExceptionModule(L"You cannot copy a parent folder into its child: " + destination, L"");
    // Names come from elsewhere too (packages); one that is no plain file
    // name here is refused before anything moves.
    entry.forEach([&](const ProtectedFile& record) {
        if (!isSafeComponent(record.raw_file_name))
            throw ExceptionModule(L"Invalid file name in the store: " + record.raw_file_name, L"");
    });

    Query query(*engine.database);
    ProgressTracker progress(engine.progressObserver);
    // A stop asked while the entry is under way leaves it untouched.
    progress.allowStopWithinEntries();
    nocase_wstring outName;
    if (engine.kind == EngineKind::UserVault) {
        Recovery recovery(engine, query);
        if (recovery.isNeeded(entry) && !recovery.recover(entry)) {
            entries.erase(found);
            throw ExceptionModule(L"No such file found in the store: " + name, L"");
        }
        progress.addWork(entry);
        progress.startEntry(entry.display_name);
        // The free name is chosen before the move and kept in the rows, so
        // a recovery knows it, and the move never replaces what is there.
        outName = freeTargetName(destination, entry.raw_file_name, entry.is_directory);
        deliver(entry, destination, outName, query, &progress);
    } else {
        progress.addWork(entry);
        progress.startEntry(entry.display_name);
        Transforms transforms(query, engine, &progress);
        outName = freeTargetName(destination, entry.raw_file_name, entry.is_directory);
        {
            Transaction transaction(query);
            transforms.planCrypt(entry, destination, outName, engine.password, "None", false);
            transaction.commit();
        }
        try {
            transforms.performCrypt(entry, engine.password, false, false);
        } catch (const ExceptionModule& failure) {
            if (isCancellation(failure))
                putToRest(entry, query);
            throw;
        }
        {
            Transaction transaction(query);
            transforms.finishCrypt(entry, false);
            transaction.commit();
        }
    }
    entries.erase(found);
    return joinPath(destination, outName);
}

std::vector<ProtectedFile*> VaultOperations::selectByNames(const std::vector<nocase_wstring>& names)
{
    engine.requireLogin();
    VaultLock lock(engine);
    auto& entries = engine.entries();
    std::vector<ProtectedFile*> selected;
    for (const nocase_wstring& name : names) {
        auto found = entries.find(name);
        if (found == entries.end())
            throw ExceptionModule(L"No such file found in the store: " + name, L"");
        Query query(*engine.database);
        Recovery recovery(engine, query);
        if (recovery.isNeeded(*found->second) && !recovery.recover(*found->second)) {
            entries.erase(found);
            throw ExceptionModule(L"No such file found in the store: " + name, L"");
        }
        selected.push_back(found->second.get());
    }
    return selected;
}
