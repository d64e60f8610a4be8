#include "engine/ProtectedFile.h"

#include "engine/ExceptionModule.h"
#include "engine/KistFile.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

namespace {

std::string quoted(const nocase_wstring& text)
{
    return sqlText(toNarrow(text));
}

// Stored relative paths use "/"; rows written by builds that used
// backslashes still open.
nocase_wstring storedPath(std::string text)
{
    for (char& c : text)
        if (c == '\\')
            c = '/';
    return toWide(text);
}

} // namespace

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

void ProtectedFile::load(Database& database, Query& query, const nocase_wstring& parentName,
                         const nocase_wstring& inheritedRoot, std::set<std::wstring>* visited)
{
    readRow(query, parentName, inheritedRoot);
    std::set<std::wstring> folders;
    loadChildren(database, inheritedRoot, visited != nullptr ? *visited : folders);
}

void ProtectedFile::readRow(Query& query, const nocase_wstring& parentName, const nocase_wstring& inheritedRoot)
{
    current_path = storedPath(query.getstr("current_path"));
    target_path = storedPath(query.getstr("target_path"));
    current_root = toWide(query.getstr("current_root"));
    // A pending move out of the vault must remember where it was going, so
    // a stored target root is kept; only an empty one is inherited.
    target_root = toWide(query.getstr("target_root"));
    if (target_root.empty())
        target_root = inheritedRoot;
    if (current_root.empty())
        current_root = inheritedRoot;
    parent = parentName;
    display_name = toWide(query.getstr("display_name"));
    unique_name = toWide(query.getstr("unique_name"));
    raw_file_name = toWide(query.getstr("raw_file_name"));
    volume = static_cast<uint32_t>(query.getbigint("volume"));
    size = static_cast<uint32_t>(query.getbigint("size"));
    cipher = query.getstr("cipher");
    encrypt_algo = query.getstr("encrypt_algo");
    pending_transform = query.getval("pending_transform");
    is_hidden = query.getval("is_hidden") != 0;
    is_encrypted = query.getval("is_encrypted") != 0;
    is_directory = query.getval("is_directory") != 0;
}

void ProtectedFile::loadChildren(Database& database, const nocase_wstring& inheritedRoot,
                                 std::set<std::wstring>& visited)
{
    if (!is_directory)
        return;
    if (!visited.insert(std::wstring(unique_name.data(), unique_name.size())).second)
        throw ExceptionModule(L"The records of " + display_name + L" lead back to themselves.", L"");
    {
        // The children's rows are read to the end and the connection given
        // back before any of them reads its own: a Query still open would
        // make every deeper folder open (and key) a connection of its own.
        Query childQuery(database);
        if (!childQuery.get_result(formatStatement(vaultschema::selectChildren, quoted(unique_name).c_str())))
            return;
        while (childQuery.fetch_row()) {
            // A row that names itself as its own parent would recurse for ever.
            if (sameExactly(toWide(childQuery.getstr("unique_name")), unique_name))
                continue;
            auto child = std::make_unique<ProtectedFile>();
            child->readRow(childQuery, unique_name, inheritedRoot);
            children.push_back(std::move(child));
        }
        childQuery.free_result();
    }
    for (const auto& child : children)
        child->loadChildren(database, inheritedRoot, visited);
}

void ProtectedFile::insertRow(Query& query) const
{
    query.executeOrThrow(
        formatStatement(vaultschema::insertProtectedFile, quoted(current_path).c_str(), quoted(unique_name).c_str(),
                        quoted(display_name).c_str(), quoted(raw_file_name).c_str(), is_directory ? 1 : 0,
                        static_cast<unsigned long>(volume), static_cast<unsigned long>(size),
                        sqlText(cipher).c_str(), sqlText(encrypt_algo).c_str(), quoted(parent).c_str(),
                        quoted(target_path).c_str(), quoted(current_root).c_str(), quoted(target_root).c_str(),
                        is_hidden ? 1 : 0, is_encrypted ? 1 : 0, static_cast<int>(pending_transform)),
        toNarrow(L"record " + display_name));
}

void ProtectedFile::deleteRow(Query& query) const
{
    query.executeOrThrow(formatStatement(vaultschema::deleteProtectedFile, quoted(unique_name).c_str()),
                         toNarrow(L"remove the record of " + display_name));
}

void ProtectedFile::storePlannedTransform(Query& query) const
{
    query.executeOrThrow(
        formatStatement(vaultschema::storePlannedTransform, quoted(target_path).c_str(), quoted(target_root).c_str(),
                        quoted(current_path).c_str(), quoted(current_root).c_str(), sqlText(cipher).c_str(),
                        sqlText(encrypt_algo).c_str(), static_cast<int>(pending_transform),
                        quoted(unique_name).c_str()),
        toNarrow(L"record the planned change of " + display_name));
}

void ProtectedFile::storeFinishedTransform(Query& query) const
{
    query.executeOrThrow(
        formatStatement(vaultschema::storeFinishedTransform, quoted(current_path).c_str(),
                        quoted(current_root).c_str(), static_cast<int>(pending_transform), is_hidden ? 1 : 0,
                        is_encrypted ? 1 : 0, quoted(unique_name).c_str()),
        toNarrow(L"record the finished change of " + display_name));
}

void ProtectedFile::storeCipher(Query& query) const
{
    query.executeOrThrow(
        formatStatement(vaultschema::storeCipher, sqlText(cipher).c_str(), quoted(unique_name).c_str()),
        toNarrow(L"store the key of " + display_name));
}

void ProtectedFile::storeSize(Query& query) const
{
    query.executeOrThrow(formatStatement("update ProtectedFiles set size = %lu where unique_name = '%s'",
                                         static_cast<unsigned long>(size), quoted(unique_name).c_str()),
                         toNarrow(L"store the size of " + display_name));
}

void ProtectedFile::fillKistFile(KistFile& out) const
{
    out.path = toNarrow(current_path);
    out.name = toNarrow(display_name);
    out.is_directory = is_directory;
    out.volume = volume;
    out.size = size;
}
