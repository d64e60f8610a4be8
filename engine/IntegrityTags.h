#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "engine/Strings.h"

class Query;

// The vault's integrity table: the tag of each encrypted file body (see
// BodyTag), beside ProtectedFiles and keyed by the row's identity. A vault
// or package without the table (older ones, other programs) reads as one
// whose bodies have no tags; the table and the trigger that removes a tag
// with its row are created with the first tag stored. Every statement runs
// on the caller's query, so a tag is written in the caller's transaction:
// in the same one as the finish of the body it vouches for.
class IntegrityTags {
public:
    explicit IntegrityTags(Query& query);

    // The tag of the body of that row; none when it has none.
    [[nodiscard]] std::optional<std::string> tagOf(const nocase_wstring& uniqueName);
    // Every tag by row identity.
    [[nodiscard]] std::map<std::string, std::string> all();
    // The tags of the rows directly inside a folder row, by row identity:
    // one read for a folder of thousands of files instead of one a file.
    [[nodiscard]] std::map<std::string, std::string> inside(const nocase_wstring& folderUniqueName);

    // For one pass over trees of rows (a take-out, an export): a folder's
    // tags are read together the first time one of its files asks. Tags
    // stored or removed after that are not seen, so it lives for one pass.
    class FolderReads {
    public:
        explicit FolderReads(IntegrityTags& tags);
        // The tag of a row whose parent is folderUniqueName ("" at the top).
        [[nodiscard]] std::optional<std::string> tagOf(const nocase_wstring& uniqueName,
                                                       const nocase_wstring& folderUniqueName);

    private:
        IntegrityTags& tags;
        std::set<nocase_wstring> foldersRead;
        std::map<std::string, std::string> known;
    };
    // Throws when the database refuses: a body must never be recorded as
    // finished without the tag it was given.
    void store(const nocase_wstring& uniqueName, const std::string& tag);
    void remove(const nocase_wstring& uniqueName);

private:
    bool hasTable();

    Query& query;
    std::optional<bool> tableKnown;
};
