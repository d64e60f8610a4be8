#include "engine/ProtectedFile.h"

#include <set>

#include "engine/ExceptionModule.h"
#include "engine/KistFile.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

nocase_wstring ProtectedFile::sourcePath() const
{
    return joinPath(current_root, current_path);
}

nocase_wstring ProtectedFile::destinationPath() const
{
    return joinPath(target_root, target_path);
}

void ProtectedFile::settleAtTarget()
{
    pending_transform = NothingPending;
    current_path = target_path;
    current_root = target_root;
    target_path.clear();
    target_root.clear();
}

void ProtectedFile::readRow(Query& query, const nocase_wstring& inheritedRoot)
{
    current_path = toWide(vaultschema::storedPath(query.getstr("current_path")));
    target_path = toWide(vaultschema::storedPath(query.getstr("target_path")));
    current_root = toWide(query.getstr("current_root"));
    // A pending move out of the vault must remember where it was going, so
    // a stored target root is kept; only an empty one is inherited.
    target_root = toWide(query.getstr("target_root"));
    if (target_root.empty())
        target_root = inheritedRoot;
    if (current_root.empty())
        current_root = inheritedRoot;
    parent = toWide(query.getstr("parent"));
    display_name = toWide(query.getstr("display_name"));
    unique_name = toWide(query.getstr("unique_name"));
    raw_file_name = toWide(query.getstr("raw_file_name"));
    volume = static_cast<uint32_t>(query.getbigint("volume"));
    size = static_cast<uint64_t>(query.getbigint("size"));
    cipher = query.getstr("cipher");
    encrypt_algo = query.getstr("encrypt_algo");
    pending_transform = query.getval("pending_transform");
    is_hidden = query.getval("is_hidden") != 0;
    is_encrypted = query.getval("is_encrypted") != 0;
    is_directory = query.getval("is_directory") != 0;
}

namespace {

using RowsByParent = std::map<std::wstring, std::vector<std::unique_ptr<ProtectedFile>>>;

std::wstring exact(const nocase_wstring& text)
{
    return std::wstring(text.data(), text.size());
}

// Gives folder its children from rows, and theirs below them. False when a
// folder's identity comes round again (a loop or a repeated identity).
bool attachChildren(ProtectedFile& folder, RowsByParent& rows, std::set<std::wstring>& visited)
{
    if (!visited.insert(exact(folder.unique_name)).second)
        return false;
    auto found = rows.find(exact(folder.unique_name));
    if (found == rows.end())
        return true;
    std::vector<std::unique_ptr<ProtectedFile>> children = std::move(found->second);
    rows.erase(found);
    for (auto& child : children) {
        if (child->is_directory && !attachChildren(*child, rows, visited))
            return false;
        folder.children.push_back(std::move(child));
    }
    return true;
}

} // namespace

int64_t readLogPosition(Query& query)
{
    if (!query.get_result(vaultschema::selectLogPosition))
        return -1;
    const int64_t position = query.fetch_row() ? query.getbigint("position") : 0;
    query.free_result();
    return position;
}

namespace {

// Reads the rows a statement selects, handing each record to take.
template <typename Take>
void readRows(Query& query, const std::string& statement, const nocase_wstring& inheritedRoot, Take&& take)
{
    if (!query.get_result(statement))
        throw ExceptionModule(L"Cannot read the vault database.", toWide(query.lastError()));
    while (query.fetch_row()) {
        auto record = std::make_unique<ProtectedFile>();
        record->readRow(query, inheritedRoot);
        take(std::move(record));
    }
    const std::string error = query.lastError();
    query.free_result();
    if (!error.empty())
        throw ExceptionModule(L"Cannot read the vault database.", toWide(error));
}

// The entries from their top-level records and the rows below them.
LoadedEntries assemble(std::vector<std::unique_ptr<ProtectedFile>>& topLevel, RowsByParent& rows)
{
    LoadedEntries loaded;
    std::set<std::wstring> visited;
    for (auto& entry : topLevel) {
        if (entry->is_directory && !attachChildren(*entry, rows, visited)) {
            loaded.unreadable.push_back(entry->display_name);
            continue;
        }
        const nocase_wstring name = entry->display_name;
        loaded.entries[name] = std::move(entry);
    }
    return loaded;
}

} // namespace

LoadedEntries loadEntriesFrom(Query& query, const std::string& statement, const nocase_wstring& inheritedRoot)
{
    std::vector<std::unique_ptr<ProtectedFile>> topLevel;
    RowsByParent rows;
    readRows(query, statement, inheritedRoot, [&](std::unique_ptr<ProtectedFile> record) {
        if (record->parent.empty())
            topLevel.push_back(std::move(record));
        else
            rows[exact(record->parent)].push_back(std::move(record));
    });
    return assemble(topLevel, rows);
}

LoadedEntries loadEntriesByIdentity(Query& query, const std::vector<int64_t>& entryIds,
                                    const std::vector<nocase_wstring>& identities, const nocase_wstring& inheritedRoot)
{
    // Level by level: the top-level rows, then the rows below the folders of
    // each level, many to a statement.
    constexpr std::size_t kPerStatement = 500;
    std::vector<std::unique_ptr<ProtectedFile>> topLevel;
    RowsByParent rows;
    std::set<std::wstring> asked;
    std::vector<nocase_wstring> folders;
    const auto take = [&](bool tops) {
        return [&, tops](std::unique_ptr<ProtectedFile> record) {
            // A folder met again (rows that loop) is not asked for twice.
            if (record->is_directory && asked.insert(exact(record->unique_name)).second)
                folders.push_back(record->unique_name);
            if (tops)
                topLevel.push_back(std::move(record));
            else
                rows[exact(record->parent)].push_back(std::move(record));
        };
    };
    const auto quotedList = [](const std::vector<nocase_wstring>& names, std::size_t start) {
        std::string list;
        for (std::size_t i = start; i < names.size() && i < start + kPerStatement; ++i)
            list += (list.empty() ? "'" : ", '") + sqlText(toNarrow(names[i])) + "'";
        return list;
    };
    for (std::size_t start = 0; start < entryIds.size(); start += kPerStatement) {
        std::string list;
        for (std::size_t i = start; i < entryIds.size() && i < start + kPerStatement; ++i)
            list += (list.empty() ? "" : ", ") + std::to_string(entryIds[i]);
        readRows(query, formatStatement(vaultschema::selectTopLevelByEntry, list.c_str()), inheritedRoot, take(true));
    }
    for (std::size_t start = 0; start < identities.size(); start += kPerStatement)
        readRows(query, formatStatement(vaultschema::selectTopLevelByIdentity, quotedList(identities, start).c_str()),
                 inheritedRoot, take(true));
    while (!folders.empty()) {
        const std::vector<nocase_wstring> level = std::move(folders);
        folders.clear();
        for (std::size_t start = 0; start < level.size(); start += kPerStatement)
            readRows(query, formatStatement(vaultschema::selectChildrenOfAll, quotedList(level, start).c_str()),
                     inheritedRoot, take(false));
    }
    return assemble(topLevel, rows);
}

LoadedEntries loadAllEntries(Database& database, const nocase_wstring& inheritedRoot, std::string* changeCount,
                             int64_t* logPosition)
{
    Query query(database);
    // The count and the rows come from one snapshot: together they tell
    // later, under the lock, whether the rows are still these.
    Transaction snapshot(query);
    if (changeCount != nullptr) {
        changeCount->clear();
        if (query.get_result(vaultschema::selectChangeCount)) {
            if (query.fetch_row())
                *changeCount = query.getstr("nv_value");
            query.free_result();
        }
    }
    LoadedEntries loaded = loadEntriesFrom(query, vaultschema::selectAllRows, inheritedRoot);
    // Last: a vault without a log leaves an error on the query.
    if (logPosition != nullptr)
        *logPosition = readLogPosition(query);
    snapshot.commit();
    return loaded;
}

void ProtectedFile::insertRow(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::insertProtectedFile);
    query.executeBoundOrThrow(statement,
                              {toNarrow(current_path), toNarrow(unique_name), toNarrow(display_name),
                               toNarrow(raw_file_name), int64_t {is_directory ? 1 : 0}, static_cast<int64_t>(volume),
                               static_cast<int64_t>(size), cipher, encrypt_algo, toNarrow(parent),
                               toNarrow(target_path), toNarrow(current_root), toNarrow(target_root),
                               int64_t {is_hidden ? 1 : 0}, int64_t {is_encrypted ? 1 : 0},
                               static_cast<int64_t>(pending_transform)},
                              toNarrow(L"record " + display_name));
}

void ProtectedFile::deleteRow(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::deleteProtectedFile);
    query.executeBoundOrThrow(statement, {toNarrow(unique_name)}, toNarrow(L"remove the record of " + display_name));
}

void ProtectedFile::storePlannedTransform(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::storePlannedTransform);
    query.executeBoundOrThrow(statement,
                              {toNarrow(target_path), toNarrow(target_root), toNarrow(current_path),
                               toNarrow(current_root), cipher, encrypt_algo, static_cast<int64_t>(pending_transform),
                               toNarrow(unique_name)},
                              toNarrow(L"record the planned change of " + display_name));
}

void ProtectedFile::storeFinishedTransform(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::storeFinishedTransform);
    query.executeBoundOrThrow(statement,
                              {toNarrow(current_path), toNarrow(current_root), static_cast<int64_t>(pending_transform),
                               int64_t {is_hidden ? 1 : 0}, int64_t {is_encrypted ? 1 : 0}, toNarrow(unique_name)},
                              toNarrow(L"record the finished change of " + display_name));
}

void ProtectedFile::storeSettledAndPlanned(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::storeSettledAndPlanned);
    query.executeBoundOrThrow(statement,
                              {toNarrow(target_path), toNarrow(target_root), toNarrow(current_path),
                               toNarrow(current_root), cipher, encrypt_algo, static_cast<int64_t>(pending_transform),
                               int64_t {is_hidden ? 1 : 0}, int64_t {is_encrypted ? 1 : 0}, toNarrow(unique_name)},
                              toNarrow(L"record the planned change of " + display_name));
}

void ProtectedFile::storeCipher(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::storeCipher);
    query.executeBoundOrThrow(statement, {cipher, toNarrow(unique_name)}, toNarrow(L"store the key of " + display_name));
}

void ProtectedFile::storeSize(Query& query) const
{
    static const std::string statement = boundStatement(vaultschema::storeSize);
    query.executeBoundOrThrow(statement, {static_cast<int64_t>(size), toNarrow(unique_name)},
                              toNarrow(L"store the size of " + display_name));
}

void ProtectedFile::fillKistFile(KistFile& out) const
{
    out.path = toNarrow(current_path);
    out.name = toNarrow(display_name);
    out.is_directory = is_directory;
    out.volume = volume;
    // The exported record's size is 32-bit: larger files read as its largest.
    out.size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

std::unique_ptr<ProtectedFile> ProtectedFile::clone() const
{
    auto copy = std::make_unique<ProtectedFile>();
    copy->display_name = display_name;
    copy->unique_name = unique_name;
    copy->raw_file_name = raw_file_name;
    copy->current_path = current_path;
    copy->target_path = target_path;
    copy->current_root = current_root;
    copy->target_root = target_root;
    copy->size = size;
    copy->volume = volume;
    copy->is_directory = is_directory;
    copy->parent = parent;
    copy->pending_transform = pending_transform;
    copy->is_hidden = is_hidden;
    copy->is_encrypted = is_encrypted;
    copy->cipher = cipher;
    copy->encrypt_algo = encrypt_algo;
    for (const auto& child : children)
        copy->children.push_back(child->clone());
    return copy;
}

std::unique_ptr<ProtectedFile> ProtectedFile::copyTree(const nocase_wstring& root) const
{
    auto copy = clone();
    copy->forEach([&root](ProtectedFile& record) {
        record.current_root = root;
        record.target_path.clear();
        record.target_root.clear();
        record.pending_transform = NothingPending;
        record.is_hidden = true;
    });
    return copy;
}
