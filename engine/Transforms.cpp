#include "engine/Transforms.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/FileWorkers.h"
#include "engine/ProgressTracker.h"
#include "engine/RecordStates.h"
#include "engine/StepBoundary.h"
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/Transaction.h"
#include "engine/storage/VaultSchema.h"

namespace {

bool isMove(const ProtectedFile& record)
{
    return record.pending_transform == MoveIntoVault || record.pending_transform == MoveOutOfVault;
}

bool isCrypt(const ProtectedFile& record)
{
    return record.pending_transform == Encrypting || record.pending_transform == Decrypting;
}

void swapCurrentAndTarget(ProtectedFile& record)
{
    std::swap(record.current_path, record.target_path);
    std::swap(record.current_root, record.target_root);
}

void refuseParentIntoChild(const ProtectedFile& record)
{
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    if (isInsideOrSame(destination, source) && !sameExactly(destination, source))
        throw ExceptionModule(L"You cannot copy a parent folder into its child: " + source, L"");
}

// Files that leave the engine's private folders get the modes any new file
// of the user would get.
void giveToUser(const nocase_wstring& path, bool isFolder)
{
    ::chmod(toNarrow(path).c_str(), (isFolder ? 0777u : 0666u) & ~fileCreationMask());
}

uint64_t sumOfChildren(const ProtectedFile& folder)
{
    uint64_t total = 0;
    for (const auto& child : folder.children)
        total += child->size;
    return total > UINT32_MAX ? UINT32_MAX : total;
}

nocase_wstring collectedError(const ProtectedFile& child, const nocase_wstring& text)
{
    return child.display_name + L": " + text + L"\n";
}

} // namespace

nocase_wstring childTargetPath(const nocase_wstring& parentPath, std::size_t index, const ProtectedFile& child,
                               bool numbered)
{
    return joinPath(parentPath, numbered ? toWide(std::to_string(index + 1)) : child.raw_file_name);
}

Transforms::Transforms(Query& stepQuery, EngineKind engineKind, ProgressTracker* tracker)
    : query(stepQuery)
    , kind(engineKind)
    , progress(tracker)
    , format(BodyFormat::standard())
{
}

Transforms::Transforms(Query& stepQuery, const VaultEngine& engine, ProgressTracker* tracker)
    : query(stepQuery)
    , kind(engine.kind)
    , progress(tracker)
    , format(engine.bodyFormat())
{
}

bool Transforms::tagsTheseBodies() const
{
    return tagBodies && format.usesIntegrityTags();
}

void Transforms::removeIfEmpty(const nocase_wstring& folder)
{
    // rmdir refuses a folder that still holds anything, which is the point.
    (void)clearAttributes(folder);
    ::rmdir(toNarrow(folder).c_str());
}

void Transforms::planMove(ProtectedFile& record, const nocase_wstring& root, const nocase_wstring& path,
                          bool numbered)
{
    if (numbered) {
        if (record.pending_transform != MoveIntoVault) {
            if (record.is_hidden && record.pending_transform != MoveOutOfVault)
                return;
            record.target_path = path;
            record.target_root = root;
            record.pending_transform = MoveIntoVault;
            record.insertRow(query);
        }
    } else if (record.pending_transform != MoveOutOfVault) {
        if (record.is_hidden && record.pending_transform != MoveIntoVault) {
            record.target_path = path;
            record.target_root = root;
        } else if (record.pending_transform == MoveIntoVault) {
            swapCurrentAndTarget(record);
        } else {
            return;
        }
        record.pending_transform = MoveOutOfVault;
        if (kind == EngineKind::UserVault)
            storePlanned(record);
    }
    for (std::size_t i = 0; i < record.children.size(); ++i) {
        ProtectedFile& child = *record.children[i];
        planMove(child, root, childTargetPath(path, i, child, numbered), numbered);
    }
}

nocase_wstring Transforms::moveTree(ProtectedFile& record, bool keepSource, std::vector<nocase_wstring>& emptied)
{
    refuseParentIntoChild(record);
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    if (!record.is_directory) {
        if (keepSource)
            copyPath(source, destination, false);
        else
            movePath(source, destination, false);
        if (progress)
            progress->fileDone(record.size);
        stepboundary::reached("file moved");
        return {};
    }
    createFolder(destination, record.pending_transform == MoveIntoVault);
    nocase_wstring errors;
    for (auto& child : record.children) {
        if (!isMove(*child))
            continue;
        try {
            const nocase_wstring childErrors = moveTree(*child, keepSource, emptied);
            if (!childErrors.empty())
                errors += collectedError(*child, childErrors);
        } catch (const ExceptionModule& e) {
            errors += collectedError(*child, toWide(e.getMessage()));
        }
    }
    if (!keepSource)
        emptied.push_back(source);
    return errors;
}

void Transforms::performMove(ProtectedFile& record, bool keepSource, PendingCleanup* deferred)
{
    if (!isMove(record))
        return;
    std::vector<nocase_wstring> emptied;
    const nocase_wstring errors = moveTree(record, keepSource, emptied);
    // The new names must be on disk before the finish says they are there.
    if (deferred != nullptr) {
        deferred->flushPath = parentFolder(record.destinationPath());
        deferred->sourceFolders.insert(deferred->sourceFolders.end(), emptied.begin(), emptied.end());
    } else {
        flushFileSystem(parentFolder(record.destinationPath()));
        for (const nocase_wstring& folder : emptied)
            removeIfEmpty(folder);
    }
    if (!errors.empty())
        throw ExceptionModule(errors, L"");
}

void Transforms::performPlannedMove(ProtectedFile& record, bool intoVault)
{
    if (!intoVault && isMove(record)) {
        moveOutBesideRows(record);
    } else {
        performMove(record, false);
        Transaction transaction(query);
        finishMove(record, intoVault);
        transaction.commit();
    }
    stepboundary::reached("move finished");
}

void Transforms::moveOutBesideRows(ProtectedFile& record)
{
    // The renames wait for the file system, the deletions of the rows for
    // the processor: the rows go on another thread while the files move
    // here (where progress and step boundaries are reported), in a
    // transaction that commits only once every file is on the disk at its
    // destination. A move that fails rolls it back: the rows stay pending,
    // as memory still has them.
    Transaction transaction(query);
    std::future<void> rows;
    try {
        rows = std::async(std::launch::async, [this, &record] { deleteMovedOutRows(record); });
    } catch (const std::system_error&) {
        // No thread to spare: the rows go after the moves.
    }
    std::vector<nocase_wstring> emptied;
    nocase_wstring errors;
    try {
        errors = moveTree(record, false, emptied);
        flushFileSystem(parentFolder(record.destinationPath()));
    } catch (...) {
        if (rows.valid())
            rows.wait();
        throw;
    }
    // The folders the moves emptied go whatever became of the rows, as
    // they did when the rows were written after the moves.
    std::exception_ptr rowsFailure;
    try {
        if (rows.valid())
            rows.get();
        else
            deleteMovedOutRows(record);
    } catch (...) {
        rowsFailure = std::current_exception();
    }
    for (const nocase_wstring& folder : emptied)
        removeIfEmpty(folder);
    if (rowsFailure)
        std::rethrow_exception(rowsFailure);
    if (!errors.empty())
        throw ExceptionModule(errors, L"");
    transaction.commit();
    settleMovedOut(record);
}

void Transforms::deleteMovedOutRows(const ProtectedFile& record)
{
    for (const auto& child : record.children)
        deleteMovedOutRows(*child);
    // A finished take-out leaves no row of its tree behind, unless something
    // that did not move still lies where its row says (it would be stranded).
    // The moves never touch what they do not move, so this reads the same
    // while they run.
    if (isMove(record) || !pathExists(record.sourcePath()))
        record.deleteRow(query);
}

void Transforms::settleMovedOut(ProtectedFile& record)
{
    for (auto& child : record.children)
        settleMovedOut(*child);
    if (!isMove(record))
        return;
    record.settleAtTarget();
    record.is_hidden = false;
}

void Transforms::finishMove(ProtectedFile& record, bool staysInVault)
{
    if (!staysInVault) {
        deleteMovedOutRows(record);
        settleMovedOut(record);
        return;
    }
    for (auto& child : record.children)
        finishMove(*child, staysInVault);
    if (!isMove(record))
        return;
    record.settleAtTarget();
    record.is_hidden = true;
    if (kind == EngineKind::UserVault)
        storeFinished(record);
}

void Transforms::planCrypt(ProtectedFile& record, const nocase_wstring& root, const nocase_wstring& path,
                           const std::string& sealingText, const std::string& algorithm, bool encrypt)
{
    if (encrypt) {
        if (record.pending_transform == Decrypting) {
            swapCurrentAndTarget(record);
            record.pending_transform = Encrypting;
            if (kind == EngineKind::UserVault)
                storePlanned(record);
        } else if (record.pending_transform != Encrypting) {
            if (record.is_encrypted)
                return;
            if (!record.is_directory)
                record.cipher = format.sealNewFileKey(sealingText);
            const std::string formatAlgorithm = format.algorithmName();
            record.encrypt_algo = formatAlgorithm.empty() ? algorithm : formatAlgorithm;
            record.target_root = root;
            record.target_path = path;
            record.pending_transform = Encrypting;
            if (kind == EngineKind::UserVault)
                storePlanned(record);
        }
    } else if (record.pending_transform != Decrypting) {
        if (record.pending_transform == Encrypting) {
            swapCurrentAndTarget(record);
        } else {
            record.target_root = root;
            record.target_path = path;
        }
        record.pending_transform = Decrypting;
        if (kind == EngineKind::UserVault)
            storePlanned(record);
    }
    const bool numbered = kind == EngineKind::UserVault || record.pending_transform != Decrypting;
    for (std::size_t i = 0; i < record.children.size(); ++i) {
        ProtectedFile& child = *record.children[i];
        planCrypt(child, root, childTargetPath(path, i, child, numbered), sealingText, algorithm, encrypt);
    }
}

IntegrityTags& Transforms::tags()
{
    if (!integrityTags)
        integrityTags = std::make_unique<IntegrityTags>(query);
    return *integrityTags;
}

uint64_t Transforms::transformOneFile(ProtectedFile& record, const std::string& sealingText, bool encrypt,
                                      bool flush, bool reportBytes, const std::optional<std::string>& expectedTag)
{
    const SecretText fileKey = format.openFileKey(sealingText, record.cipher);
    const bool tagging = tagsTheseBodies();
    FileTransformOptions options;
    options.exclusive = true;
    options.flush = flush;
    options.umaskKeepsPrivateMode = umaskKeepsPrivateMode;
    // The body's integrity tag is computed while it streams: kept for the
    // finish when encrypting, checked before the plain file is kept when
    // decrypting (a body without a tag decrypts as before).
    std::string computedTag;
    if (tagging) {
        options.tagFileKey = &fileKey.text();
        options.computedTag = &computedTag;
    }
    if (!encrypt) {
        options.plainSize = record.size;
        if (tagging)
            options.expectedTag = expectedTag;
    }
    if (reportBytes && progress && progress->active()) {
        const bool stoppable = progress->stopsWithinEntries();
        options.onBytes = [this, stoppable](uint64_t bytes) {
            progress->fileBytes(bytes);
            // Thrown here, the stop removes the partial target like any failure.
            if (stoppable)
                progress->stopPointReached();
        };
    }
    const nocase_wstring target = record.destinationPath();
    uint64_t plainBytes = 0;
    try {
        plainBytes = format.transform(record.sourcePath(), target, encrypt, fileKey, record.encrypt_algo, options);
    } catch (const ExceptionModule& failure) {
        if (failure.getMessage().rfind(toNarrow(cryptoerrors::kBodyDamaged), 0) == 0) {
            // A hardened body says why it was refused; the name the user
            // knows stands in for the body's path.
            const std::string reason = refusalReason(failure.getMessage(), toNarrow(record.sourcePath()));
            throw ExceptionModule(cryptoerrors::kBodyDamaged + record.display_name
                                      + (reason.empty() ? nocase_wstring() : L" (" + toWide(reason) + L")"),
                                  L"");
        }
        throw;
    }
    const std::lock_guard lock(resultsMutex);
    if (encrypt && tagging)
        bodyTags[&record] = computedTag;
    if (encrypt && plainBytes != record.size) {
        // The file changed after it was measured: decryption relies on the
        // number of bytes actually encrypted.
        if (plainBytes > format.largestPlainSize()) {
            (void)deleteFile(target);
            throw ExceptionModule(L"File too large: " + record.sourcePath(), L"");
        }
        record.size = plainBytes;
        resized.insert(&record);
    }
    return plainBytes;
}

struct Transforms::CryptRun {
    CryptRun()
        : workers(FileWorkers::transformThreads(), 2 * FileWorkers::transformThreads())
    {
    }
    PendingCleanup work;
    // Files and folders that failed; read and written on the caller's thread only.
    std::map<const ProtectedFile*, ExceptionModule> failures;
    // The observer asked to stop: no further file starts (caller's thread only).
    bool stopped = false;
    FileWorkers workers;
    // Plain copies deleted early: from work.sourceFiles[flushedUpTo] on,
    // none is flushed yet; deletedEarly marks those already gone.
    std::unique_ptr<FileWorkers> deleters;
    std::size_t flushedUpTo = 0;
    uint64_t unflushedBytes = 0;
    std::vector<char> deletedEarly;
    // Tags read folder by folder, for this run only.
    std::optional<IntegrityTags::FolderReads> tagReads;
};

std::optional<std::string> Transforms::expectedTagOf(const ProtectedFile& record, CryptRun& run)
{
    if (!run.tagReads)
        run.tagReads.emplace(tags());
    return run.tagReads->tagOf(record.unique_name, record.parent);
}

bool Transforms::stopRequestedWithin(CryptRun& run) const
{
    if (!run.stopped && progress && progress->stopsWithinEntries() && progress->stopRequested())
        run.stopped = true;
    return run.stopped;
}

void Transforms::cryptOneFile(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                              CryptRun& run)
{
    if (stopRequestedWithin(run))
        return;
    const nocase_wstring source = record.sourcePath();
    const nocase_wstring destination = record.destinationPath();
    // Runs on the caller's thread once the file is on its way to the disk.
    const auto done = [this, &record, &run, source, destination, keepSource, encrypt](bool transformed,
                                                                                      uint64_t plainBytes) {
        if (transformed && !keepSource) {
            run.work.sourceFiles.push_back(source);
            run.work.sourceSizes.push_back(encrypt ? plainBytes : PendingCleanup::unknownSize);
        }
        run.work.flushPath = destination;
        if (progress)
            progress->fileDone(record.size);
        stepboundary::reached("file transformed");
        if (transformed && !keepSource && encrypt) {
            run.unflushedBytes += plainBytes;
            if (run.unflushedBytes >= earlyDeleteBytes)
                deleteFlushedSources(run);
        }
    };
    if (record.pending_transform != Encrypting && !record.is_encrypted) {
        try {
            if (keepSource)
                copyPath(source, destination, false);
            else
                movePath(source, destination, false);
            if (!encrypt)
                giveToUser(destination, false);
        } catch (const ExceptionModule& failure) {
            run.failures.emplace(&record, failure);
            return;
        }
        done(false, 0);
        return;
    }
    // Read here: the database is this thread's alone.
    std::optional<std::string> expectedTag;
    try {
        if (!encrypt && tagsTheseBodies())
            expectedTag = expectedTagOf(record, run);
    } catch (const ExceptionModule& failure) {
        run.failures.emplace(&record, failure);
        return;
    }
    // A large file streams on threads of their own and reports its bytes as
    // it goes; it runs here, one at a time, so memory stays bounded.
    if (record.size >= BlockPipeline::streamThreshold) {
        uint64_t plainBytes = 0;
        try {
            plainBytes = transformOneFile(record, sealingText, encrypt, false, true, expectedTag);
        } catch (const ExceptionModule& failure) {
            if (isCancellation(failure))
                run.stopped = true;
            else
                run.failures.emplace(&record, failure);
            return;
        }
        done(true, plainBytes);
        return;
    }
    struct Outcome {
        std::unique_ptr<ExceptionModule> failure;
        uint64_t plainBytes = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    run.workers.submit(
        [this, &record, &sealingText, encrypt, outcome, expectedTag = std::move(expectedTag)] {
            try {
                outcome->plainBytes = transformOneFile(record, sealingText, encrypt, false, false, expectedTag);
            } catch (const ExceptionModule& e) {
                outcome->failure = std::make_unique<ExceptionModule>(e);
            }
        },
        [&run, &record, outcome, done] {
            if (outcome->failure)
                run.failures.emplace(&record, *outcome->failure);
            else
                done(true, outcome->plainBytes);
        });
}

void Transforms::startCrypt(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                            CryptRun& run)
{
    if (!record.is_directory) {
        cryptOneFile(record, sealingText, encrypt, keepSource, run);
        return;
    }
    createFolder(record.destinationPath(), encrypt);
    for (auto& child : record.children) {
        if (!isCrypt(*child))
            continue;
        if (!child->is_directory) {
            cryptOneFile(*child, sealingText, encrypt, keepSource, run);
            continue;
        }
        try {
            startCrypt(*child, sealingText, encrypt, keepSource, run);
        } catch (const ExceptionModule& failure) {
            run.failures.emplace(child.get(), failure);
        }
    }
}

nocase_wstring Transforms::collectCrypt(const ProtectedFile& record, bool keepSource, CryptRun& run)
{
    nocase_wstring errors;
    for (const auto& child : record.children) {
        if (!isCrypt(*child))
            continue;
        const auto failed = run.failures.find(child.get());
        if (failed != run.failures.end()) {
            errors += collectedError(*child, toWide(failed->second.getMessage()));
            continue;
        }
        if (!child->is_directory)
            continue;
        const nocase_wstring childErrors = collectCrypt(*child, keepSource, run);
        if (!childErrors.empty())
            errors += collectedError(*child, childErrors);
    }
    if (!keepSource)
        run.work.sourceFolders.push_back(record.sourcePath());
    return errors;
}

void Transforms::performCrypt(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                              PendingCleanup* deferred)
{
    if (!isCrypt(record))
        return;
    // Read once for the whole tree rather than changing each file's mode.
    umaskKeepsPrivateMode = (fileCreationMask() & 0600u) == 0;
    CryptRun run;
    startCrypt(record, sealingText, encrypt, keepSource, run);
    run.workers.finish();
    settleEarlyDeletions(run);
    // Stopped on request: every source not yet flushed and deleted is in
    // place; the caller puts the tree back to rest, file by file.
    if (run.stopped)
        throw ExceptionModule(kCancelledMessage, L"");
    if (!record.is_directory) {
        const auto failed = run.failures.find(&record);
        if (failed != run.failures.end())
            throw ExceptionModule(failed->second);
    }
    // A file that failed leaves its source in place, and so does every file
    // not yet flushed: the rows stay pending and the caller (or recovery)
    // puts the whole tree back to rest, file by file from where each lies.
    const nocase_wstring errors = record.is_directory ? collectCrypt(record, keepSource, run) : nocase_wstring();
    if (!errors.empty())
        throw ExceptionModule(errors, L"");
    if (deferred != nullptr) {
        *deferred = std::move(run.work);
        return;
    }
    // Every target is written before one flush, and only then do the
    // sources go: a crash leaves at least one whole copy of each file.
    if (!run.work.flushPath.empty())
        flushFileSystem(run.work.flushPath);
    completeCleanup(run.work);
}

namespace {

// Deleting a file waits for the disk where freed blocks are discarded at
// once (ext4's discard option): a few at a time keep the disk busy.
constexpr std::size_t kDeletingThreads = 8;

// Deletes a source whose copy is on the disk; returns why it stays, if it
// does. Bytes written to a plain file after its encryption read it would be
// lost with it: it stays, and the change is undone.
nocase_wstring deleteSource(const nocase_wstring& file, uint64_t expectedSize)
{
    if (expectedSize != PendingCleanup::unknownSize) {
        struct stat info {};
        if (::lstat(toNarrow(file).c_str(), &info) == 0 && S_ISREG(info.st_mode)
            && static_cast<uint64_t>(info.st_size) != expectedSize)
            return L"The file changed while it was being encrypted: " + file + L"\n";
    }
    if (deleteFile(file))
        return {};
    // A file the user may not write stays deletable here; elsewhere its
    // attributes must be cleared first.
    (void)clearAttributes(file);
    if (deleteFile(file) || !pathExists(file))
        return {};
    return L"Cannot delete " + file + L"\n";
}

} // namespace

void Transforms::completeCleanup(const PendingCleanup& work)
{
    std::vector<nocase_wstring> refusals(work.sourceFiles.size());
    const auto deleteOne = [&work, &refusals](std::size_t i) {
        const uint64_t expected = i < work.sourceSizes.size() ? work.sourceSizes[i] : PendingCleanup::unknownSize;
        refusals[i] = deleteSource(work.sourceFiles[i], expected);
        stepboundary::reached("source deleted");
    };
    if (work.sourceFiles.size() > 1) {
        FileWorkers workers(kDeletingThreads, 2 * kDeletingThreads);
        for (std::size_t i = 0; i < work.sourceFiles.size(); ++i)
            workers.submit([&deleteOne, i] { deleteOne(i); });
        workers.finish();
    } else if (!work.sourceFiles.empty()) {
        deleteOne(0);
    }
    nocase_wstring undeleted;
    for (const nocase_wstring& refusal : refusals)
        undeleted += refusal;
    for (const nocase_wstring& folder : work.sourceFolders)
        removeIfEmpty(folder);
    // A source that stays must not be recorded as gone: the rows stay
    // pending, and recovery finishes the change.
    if (!undeleted.empty())
        throw ExceptionModule(undeleted, L"");
}

bool Transforms::cleanUpBesideRows(const std::vector<const PendingCleanup*>& cleanups,
                                   const std::vector<ProtectedFile*>& trees, const std::function<void()>& writeRows)
{
    RecordStates before;
    for (ProtectedFile* tree : trees)
        before.keep(*tree);
    const auto rolledBack = [&] {
        before.restore();
        // A tag table made in the transaction went with it.
        integrityTags.reset();
    };
    std::atomic<bool> allGone = true;
    std::future<void> deleting = std::async(std::launch::async, [&cleanups, &allGone] {
        for (const PendingCleanup* cleanup : cleanups) {
            try {
                completeCleanup(*cleanup);
            } catch (const ExceptionModule&) {
                allGone = false;
            }
        }
    });
    try {
        Transaction transaction(query);
        writeRows();
        deleting.get();
        if (allGone) {
            transaction.commit();
            return true;
        }
    } catch (...) {
        if (deleting.valid())
            deleting.wait();
        rolledBack();
        throw;
    }
    rolledBack();
    return false;
}

void Transforms::deleteFlushedSources(CryptRun& run)
{
    // Only what the flush covers may go: a crash then still finds each
    // file once, plain where it was or whole in the vault.
    flushFileSystem(run.work.flushPath);
    if (!run.deleters)
        run.deleters = std::make_unique<FileWorkers>(kDeletingThreads, 2 * kDeletingThreads);
    run.deletedEarly.resize(run.work.sourceFiles.size(), 0);
    for (std::size_t i = run.flushedUpTo; i < run.work.sourceFiles.size(); ++i) {
        auto refusal = std::make_shared<nocase_wstring>();
        run.deleters->submit(
            [refusal, file = run.work.sourceFiles[i], size = run.work.sourceSizes[i]] {
                *refusal = deleteSource(file, size);
                stepboundary::reached("source deleted");
            },
            [&run, refusal, i] {
                // One refused stays in the cleanup, which tries it again
                // and reports it.
                if (refusal->empty())
                    run.deletedEarly[i] = 1;
            });
    }
    run.flushedUpTo = run.work.sourceFiles.size();
    run.unflushedBytes = 0;
}

void Transforms::settleEarlyDeletions(CryptRun& run)
{
    if (!run.deleters)
        return;
    run.deleters->finish();
    PendingCleanup rest;
    rest.flushPath = run.work.flushPath;
    rest.sourceFolders = std::move(run.work.sourceFolders);
    for (std::size_t i = 0; i < run.work.sourceFiles.size(); ++i) {
        if (i < run.deletedEarly.size() && run.deletedEarly[i] != 0)
            continue;
        rest.sourceFiles.push_back(run.work.sourceFiles[i]);
        rest.sourceSizes.push_back(run.work.sourceSizes[i]);
    }
    run.work = std::move(rest);
}

void Transforms::finishCrypt(ProtectedFile& record, bool encrypted)
{
    for (auto& child : record.children)
        finishCrypt(*child, encrypted);
    if (!isCrypt(record))
        return;
    record.settleAtTarget();
    record.is_encrypted = encrypted;
    if (record.is_directory && !resized.empty()) {
        const uint64_t total = sumOfChildren(record);
        if (total != record.size) {
            record.size = total;
            resized.insert(&record);
        }
    }
    if (kind == EngineKind::UserVault) {
        storeFinished(record);
        if (resized.count(&record))
            record.storeSize(query);
    } else if (!encrypted) {
        record.deleteRow(query);
    }
    if (record.is_directory)
        return;
    // In the finish's own transaction: a body is never recorded as
    // encrypted with a tag that is not its own.
    const auto tag = bodyTags.find(&record);
    if (encrypted && tag != bodyTags.end())
        tags().store(record.unique_name, tag->second);
    else
        tags().remove(record.unique_name);
}

Transforms::JointWrites::JointWrites(Transforms& transforms)
    : owner(transforms)
{
    owner.holdingSettled = true;
}

Transforms::JointWrites::~JointWrites()
{
    owner.holdingSettled = false;
    owner.settledInOrder.clear();
    owner.settledUnwritten.clear();
}

void Transforms::JointWrites::write()
{
    owner.holdingSettled = false;
    for (ProtectedFile* record : owner.settledInOrder)
        if (owner.settledUnwritten.count(record) != 0)
            record->storeFinishedTransform(owner.query);
    owner.settledInOrder.clear();
    owner.settledUnwritten.clear();
}

void Transforms::storeFinished(ProtectedFile& record)
{
    if (!holdingSettled) {
        record.storeFinishedTransform(query);
        return;
    }
    if (settledUnwritten.insert(&record).second)
        settledInOrder.push_back(&record);
}

void Transforms::storePlanned(ProtectedFile& record)
{
    if (holdingSettled && settledUnwritten.erase(&record) != 0)
        record.storeSettledAndPlanned(query);
    else
        record.storePlannedTransform(query);
}

void Transforms::resealFileKeys(ProtectedFile& record, const std::string& oldText, const std::string& newText)
{
    for (auto& child : record.children)
        resealFileKeys(*child, oldText, newText);
    if (record.cipher.empty())
        return;
    const std::string resealed = format.resealFileKey(record.cipher, oldText, newText);
    if (resealed == record.cipher)
        return;
    record.cipher = resealed;
    record.storeCipher(query);
}
