#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/IntegrityTags.h"
#include "engine/ProtectedFile.h"
#include "engine/Strings.h"
#include "engine/VaultEngine.h"

class BodyFormat;
class ProgressTracker;
class Query;

// What a perform step leaves to be done once its targets are on the disk:
// a batch of entries shares one flush, then each deletes its own sources.
struct PendingCleanup {
    nocase_wstring flushPath;                  // any path on the disk to flush; empty: nothing written
    std::vector<nocase_wstring> sourceFiles;   // deleted once the targets are flushed
    // Beside sourceFiles: the bytes each held when it was read (a plain file
    // being encrypted), or unknownSize. One that holds other bytes now was
    // written to meanwhile and is not deleted.
    std::vector<uint64_t> sourceSizes;
    static constexpr uint64_t unknownSize = UINT64_MAX;
    std::vector<nocase_wstring> sourceFolders; // removed when empty, children first
};

// The journaled steps that change where or in what form an entry's bodies
// lie. A plan writes targets and the pending state to the rows; perform
// moves or transforms the files; finish writes the result. Plans walk parents
// first, finishes children first. The caller wraps each plan and finish in a
// transaction. Only in the user's vault are the plan and finish updates
// written; row inserts and deletions happen in every kind.
class Transforms {
public:
    // Bodies and keys in the format of the standard vault.
    Transforms(Query& query, EngineKind kind, ProgressTracker* progress = nullptr);
    // Bodies and keys in the engine's own format (standard or hardened).
    Transforms(Query& query, const VaultEngine& engine, ProgressTracker* progress = nullptr);

    void planMove(ProtectedFile& record, const nocase_wstring& root, const nocase_wstring& path, bool numbered);
    // With deferred, the flush and the removal of emptied folders are left to
    // the caller (flushFileSystem, then completeCleanup).
    void performMove(ProtectedFile& record, bool keepSource, PendingCleanup* deferred = nullptr);
    void finishMove(ProtectedFile& record, bool staysInVault);
    // Perform a move whose plan is committed, then finish it in a
    // transaction of its own (out of the vault, one written while the files
    // move and committed once they are on the disk).
    void performPlannedMove(ProtectedFile& record, bool intoVault);

    void planCrypt(ProtectedFile& record, const nocase_wstring& root, const nocase_wstring& path,
                   const std::string& sealingText, const std::string& algorithm, bool encrypt);
    // With deferred, the flush and the deletion of the sources are left to
    // the caller (flushFileSystem, then completeCleanup). When the progress
    // stops within entries and a stop is asked, throws the cancelled message
    // with every source in place (targets already written stay, for the
    // caller to put the tree back to rest).
    void performCrypt(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                      PendingCleanup* deferred = nullptr);
    // Deletes the sources once their targets are flushed; throws naming a
    // source that stays (its rows must stay pending).
    static void completeCleanup(const PendingCleanup& cleanup);
    // The same deletions, on other threads while writeRows writes the rows
    // that follow them (the finish, with the next step's plan) in a
    // transaction of its own, which commits only once every source is gone:
    // the deletions wait for the disk, the rows for the processor. Returns
    // false, with the transaction rolled back and the trees as they were in
    // memory, when a source stays; the caller then settles the step as
    // completeCleanup's failure would have it. A failure of the rows is
    // thrown the same way, once the deletions are over.
    [[nodiscard]] bool cleanUpBesideRows(const std::vector<const PendingCleanup*>& cleanups,
                                         const std::vector<ProtectedFile*>& trees,
                                         const std::function<void()>& writeRows);
    // Encrypted bodies get the integrity tags computed while they were
    // written; decrypted ones lose theirs.
    void finishCrypt(ProtectedFile& record, bool encrypted);

    // A finish and the plan of the next step in one transaction (the add's
    // move and encryption, the take-out's decryption and move) write each
    // row once: while one of these is held, a row the finish settles waits
    // for the plan to write it with its own, and write() writes those no
    // plan took up. Dropped without write() (the transaction rolls back),
    // nothing held is written.
    class JointWrites {
    public:
        explicit JointWrites(Transforms& transforms);
        ~JointWrites();
        JointWrites(const JointWrites&) = delete;
        JointWrites& operator=(const JointWrites&) = delete;
        // Before the transaction commits.
        void write();

    private:
        Transforms& owner;
    };

    // Opens every sealed key of the tree with oldText and seals it again
    // with newText, children first; bodies are not touched.
    void resealFileKeys(ProtectedFile& record, const std::string& oldText, const std::string& newText);

    // Removes a folder that nothing is left in; a folder that still holds
    // anything stays, so no file is ever deleted with it.
    static void removeIfEmpty(const nocase_wstring& folder);

    // Whether bodies get and are checked against integrity tags. Only the
    // benchmark turns it off, to measure what the tags cost.
    static inline bool tagBodies = true;

    // Encrypting a folder into the vault, the plain copies of files whose
    // bodies add up to this many bytes are flushed and deleted while the
    // next files are encrypted (deleting waits for the disk). Tests lower it.
    static inline uint64_t earlyDeleteBytes = uint64_t { 64 } << 20;

private:
    struct CryptRun;

    nocase_wstring moveTree(ProtectedFile& record, bool keepSource, std::vector<nocase_wstring>& emptiedFolders);
    // A take-out's planned move out of the vault, with its rows deleted
    // beside it (see performPlannedMove).
    void moveOutBesideRows(ProtectedFile& record);
    // The two halves of finishing a move out: the rows, and memory.
    void deleteMovedOutRows(const ProtectedFile& record);
    static void settleMovedOut(ProtectedFile& record);
    // Starts every file of the tree: small ones on the run's workers, large
    // ones (which stream on threads of their own) here, one at a time.
    void startCrypt(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                    CryptRun& run);
    void cryptOneFile(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool keepSource,
                      CryptRun& run);
    // Whether the observer asked to stop inside the entry; from then on no
    // further file starts.
    bool stopRequestedWithin(CryptRun& run) const;
    // Once every file is done: the failures in the order of the tree.
    nocase_wstring collectCrypt(const ProtectedFile& record, bool keepSource, CryptRun& run);
    // Flushes what is written so far and hands the plain copies it covers
    // to the run's deleting threads.
    static void deleteFlushedSources(CryptRun& run);
    // Waits for those deletions; what they deleted leaves the cleanup.
    static void settleEarlyDeletions(CryptRun& run);
    // Runs on a worker thread for small files: it touches only its record
    // and never the database (the body's expected tag is read before).
    // Returns the plain bytes it read (encrypting) or wrote (decrypting).
    uint64_t transformOneFile(ProtectedFile& record, const std::string& sealingText, bool encrypt, bool flush,
                              bool reportBytes, const std::optional<std::string>& expectedTag);

    // The finish's and the plan's row writes, through JointWrites when one is held.
    void storeFinished(ProtectedFile& record);
    void storePlanned(ProtectedFile& record);

    Query& query;
    EngineKind kind;
    ProgressTracker* progress;
    const BodyFormat& format;
    IntegrityTags& tags();
    [[nodiscard]] bool tagsTheseBodies() const;
    // The tag a body must match when it is decrypted; a folder's tags are
    // read together, the first time one of its files needs its own.
    std::optional<std::string> expectedTagOf(const ProtectedFile& record, CryptRun& run);

    // Records whose size changed while their files were encrypted.
    std::unordered_set<const ProtectedFile*> resized;
    // Guards resized and bodyTags, which worker threads add to.
    std::mutex resultsMutex;
    bool umaskKeepsPrivateMode = false;
    // The integrity tags of the bodies encrypted here, written with their
    // finish (in the same transaction).
    std::unordered_map<const ProtectedFile*, std::string> bodyTags;
    std::unique_ptr<IntegrityTags> integrityTags;
    // Rows settled by a finish while JointWrites is held, in the order
    // settled; those a plan wrote since are gone from the set.
    bool holdingSettled = false;
    std::vector<ProtectedFile*> settledInOrder;
    std::unordered_set<const ProtectedFile*> settledUnwritten;
};

// The name a child gets below its parent's target: its position or its own name.
nocase_wstring childTargetPath(const nocase_wstring& parentPath, std::size_t index, const ProtectedFile& child,
                               bool numbered);
