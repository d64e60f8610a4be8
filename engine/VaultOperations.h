#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/ProtectedFile.h"
#include "engine/Strings.h"

class ExceptionModule;
class KistFile;
class ProgressTracker;
class Query;
class VaultEngine;

// Adding, listing and taking out entries, and selecting them by name: each a
// sequence of journaled transforms on the engine's records.
class VaultOperations {
public:
    explicit VaultOperations(VaultEngine& engine);

    // Protects the file or folder at path under a free display name and
    // fills out. inMemoryOnly registers the entry without touching the
    // database or the disk (the plain contents of an opened zip file).
    void addFile(const nocase_wstring& path, KistFile& out, bool inMemoryOnly, bool checkLogin = true);

    // One new KistFile per top-level entry, in case-blind name order.
    void listFiles(std::vector<KistFile*>& out);

    // Takes the named entry out into destination (empty: the restore folder)
    // without replacing anything there; returns where it came out.
    nocase_wstring removeFile(const nocase_wstring& name, const nocase_wstring& destination);

    // The records of the named top-level entries, each recovered first.
    std::vector<ProtectedFile*> selectByNames(const std::vector<nocase_wstring>& names);

    // The first of name, "name (2)" ... "name (9999)" that no top-level
    // entry has and that is not among reserved (names a batch already gave).
    [[nodiscard]] nocase_wstring freeDisplayName(const nocase_wstring& name,
                                                 const std::set<nocase_wstring>* reserved = nullptr) const;

    // The record tree of what lies at path, after the checks that keep the
    // vault out of what is added. The caller holds the vault lock unless
    // inMemoryOnly.
    [[nodiscard]] std::unique_ptr<ProtectedFile> prepareTree(const nocase_wstring& path, bool inMemoryOnly) const;

    // After a failed encryption of a tree moved in from originalFolder/
    // originalName: puts it back there from what its rows say, then throws
    // the failure (with "Nothing was added" when it is back).
    [[noreturn]] void putBack(const ProtectedFile& tree, const nocase_wstring& originalFolder,
                              const nocase_wstring& originalName, Query& query, const ExceptionModule& failure);

    // After a failed move of tree into the vault: moves back what arrived
    // and deletes the rows, then throws the failure (with "Nothing was
    // added" when all of it is back; otherwise the rows stay pending).
    [[noreturn]] void undoMoveIn(ProtectedFile& tree, Query& query, const ExceptionModule& failure);

    // Describes the file or folder at an absolute path as a record tree.
    [[nodiscard]] std::unique_ptr<ProtectedFile> buildRecordTree(const nocase_wstring& path) const;

    // The protect sequence: move into the vault (user vault only), then
    // encrypt each file under a key of its own.
    void protect(ProtectedFile& tree, Query& query, ProgressTracker* progress);

    // The encrypting half of the protect sequence.
    void encryptTree(ProtectedFile& tree, Query& query, ProgressTracker* progress);

    // The algorithm new file keys are drawn for (the vault's Encryption setting).
    [[nodiscard]] std::string encryptionAlgorithmName() const;

    // Resolves every entry with an interrupted transform; an entry whose
    // recovery fails stays as it is, to be tried again next time.
    void recoverEntries();

private:
    void addChildren(ProtectedFile& folder) const;
    // The entry as its rows say now (null when no row has that identity).
    std::unique_ptr<ProtectedFile> reloadEntry(const nocase_wstring& uniqueName);
    // The take-out sequence: decrypt into the work folder, then the
    // journaled move to destination/outName. When a body does not decrypt,
    // delivers the rest (deliverPart) and throws naming what failed.
    void deliver(ProtectedFile& entry, const nocase_wstring& destination, const nocase_wstring& outName, Query& query,
                 ProgressTracker* progress);
    // Moves the plain copies that did decrypt out under a free name, puts
    // the entry back to rest in the vault (without the files whose bodies
    // had already gone) and returns the report's start: what did not come
    // out, or, when every file did, which of them the vault still holds.
    nocase_wstring deliverPart(ProtectedFile& entry, const nocase_wstring& destination, Query& query);
    // Deletes the rows of files deliverPart delivered whose bodies had gone
    // (each with the folder it lay in), and takes them out of the entry.
    void forgetDelivered(ProtectedFile& entry, const std::vector<std::pair<ProtectedFile*, ProtectedFile*>>& gone,
                         Query& query);
    // After a take-out stopped on request: removes the plain copies made so
    // far and puts the rows back as they were.
    void putToRest(ProtectedFile& entry, Query& query);
    // One line for each file of entry whose decryption failed: "missing: "
    // or "damaged: " and its path below the entry's name; failureText for
    // other reasons.
    nocase_wstring describeUndelivered(const ProtectedFile& entry, const nocase_wstring& failureText) const;

    VaultEngine& engine;
};
