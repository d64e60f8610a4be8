#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Strings.h"

class Database;
class KistFile;
class Query;

// What a record's pending_transform column says is under way.
enum PendingTransform : int32_t {
    NothingPending = 0,
    MoveIntoVault = 1,
    Encrypting = 2,
    Decrypting = 3,
    MoveOutOfVault = 4,
};

// The in-memory copy of one ProtectedFiles row, owning the rows below it.
// A body lies at current_root/current_path; a pending transform puts it at
// target_root/target_path.
class ProtectedFile {
public:
    nocase_wstring display_name;
    nocase_wstring unique_name;
    nocase_wstring raw_file_name;
    nocase_wstring current_path;
    nocase_wstring target_path;
    nocase_wstring current_root;
    nocase_wstring target_root;
    // Bytes (a folder: the sum below it, at most 2^32 - 1). Only a hardened
    // vault holds files of 4 GiB and more.
    uint64_t size = 0;
    uint32_t volume = 0;
    bool is_directory = false;
    nocase_wstring parent;
    int32_t pending_transform = NothingPending;
    bool is_hidden = false;
    bool is_encrypted = false;
    std::string cipher;
    std::string encrypt_algo;
    std::vector<std::unique_ptr<ProtectedFile>> children;

    [[nodiscard]] nocase_wstring sourcePath() const;
    [[nodiscard]] nocase_wstring destinationPath() const;

    // The transform under way has reached its end: the target becomes the
    // current place and nothing is pending any more (in memory only).
    void settleAtTarget();

    // Reads the fields of the row the query is positioned on (not its
    // children). Roots stored in the row win; an empty one takes inheritedRoot.
    void readRow(Query& query, const nocase_wstring& inheritedRoot);

    // Row statements. Each throws ExceptionModule when the database refuses
    // it: a file must never move on the strength of a row that was not written.
    void insertRow(Query& query) const;
    void deleteRow(Query& query) const;
    void storePlannedTransform(Query& query) const;
    void storeFinishedTransform(Query& query) const;
    // Both of the above at once: the row as memory holds it after a finish
    // and the plan that followed it.
    void storeSettledAndPlanned(Query& query) const;
    void storeCipher(Query& query) const;
    void storeSize(Query& query) const;

    void fillKistFile(KistFile& out) const;

    // A copy of this record and everything below it as it lies under root
    // (empty: relative to wherever it is unpacked): the stored fields only,
    // no targets, nothing pending, every record hidden.
    [[nodiscard]] std::unique_ptr<ProtectedFile> copyTree(const nocase_wstring& root) const;
    // An exact copy of this record and everything below it, every field as it is.
    [[nodiscard]] std::unique_ptr<ProtectedFile> clone() const;

    // Calls visit on this record and every record below it, parents first.
    template <typename Visit>
    void forEach(Visit&& visit)
    {
        visit(*this);
        for (auto& child : children)
            child->forEach(visit);
    }
    template <typename Visit>
    void forEach(Visit&& visit) const
    {
        visit(*this);
        for (const auto& child : children)
            static_cast<const ProtectedFile&>(*child).forEach(visit);
    }
};

// The top-level entries as the rows describe them.
struct LoadedEntries {
    std::map<nocase_wstring, std::unique_ptr<ProtectedFile>> entries; // by display name
    // Top-level entries left out: their rows form a loop or repeat an identity.
    std::vector<nocase_wstring> unreadable;
};

// Reads every row of the vault database, and the change count when asked,
// in one read transaction on one connection (one consistent view) and builds
// the entries from them. Throws ExceptionModule when the rows cannot all be
// read: nothing may act on a partial view.
// logPosition, when asked, receives the change log's newest position (-1:
// no log, 0: an empty one) from the same snapshot.
[[nodiscard]] LoadedEntries loadAllEntries(Database& database, const nocase_wstring& inheritedRoot,
                                           std::string* changeCount = nullptr, int64_t* logPosition = nullptr);

// Builds the entries from the rows a statement selects (the top-level rows
// and every row below them), on a query whose transaction the caller holds.
// Throws ExceptionModule when the rows cannot all be read.
[[nodiscard]] LoadedEntries loadEntriesFrom(Query& query, const std::string& statement,
                                            const nocase_wstring& inheritedRoot);

// The top-level entries with the given row ids or identities, read with
// every row below them, on a query whose transaction the caller holds. One
// without a top-level row gives no entry.
[[nodiscard]] LoadedEntries loadEntriesByIdentity(Query& query, const std::vector<int64_t>& entryIds,
                                                  const std::vector<nocase_wstring>& identities,
                                                  const nocase_wstring& inheritedRoot);

// The change log's newest position (0 when empty, -1 without a log, which
// leaves its error on the query).
[[nodiscard]] int64_t readLogPosition(Query& query);
