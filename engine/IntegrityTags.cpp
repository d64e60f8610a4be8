#include "engine/IntegrityTags.h"

#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

IntegrityTags::IntegrityTags(Query& tagQuery)
    : query(tagQuery)
{
}

bool IntegrityTags::hasTable()
{
    if (!tableKnown) {
        bool found = false;
        if (query.get_result(vaultschema::selectBodyTagsTable)) {
            found = query.fetch_row();
            query.free_result();
        }
        tableKnown = found;
    }
    return *tableKnown;
}

std::optional<std::string> IntegrityTags::tagOf(const nocase_wstring& uniqueName)
{
    if (!hasTable())
        return std::nullopt;
    std::optional<std::string> tag;
    static const std::string statement = boundStatement(vaultschema::selectBodyTag);
    if (query.get_result_bound(statement, {toNarrow(uniqueName)})) {
        if (query.fetch_row())
            tag = query.getstr("tag");
        query.free_result();
    }
    return tag;
}

std::map<std::string, std::string> IntegrityTags::all()
{
    std::map<std::string, std::string> tags;
    if (!hasTable())
        return tags;
    if (query.get_result(vaultschema::selectBodyTags)) {
        while (query.fetch_row())
            tags[query.getstr("unique_name")] = query.getstr("tag");
        query.free_result();
    }
    return tags;
}

std::map<std::string, std::string> IntegrityTags::inside(const nocase_wstring& folderUniqueName)
{
    std::map<std::string, std::string> tags;
    if (!hasTable())
        return tags;
    static const std::string statement = boundStatement(vaultschema::selectBodyTagsInside);
    if (query.get_result_bound(statement, {toNarrow(folderUniqueName)})) {
        while (query.fetch_row())
            tags[query.getstr("unique_name")] = query.getstr("tag");
        query.free_result();
    }
    return tags;
}

IntegrityTags::FolderReads::FolderReads(IntegrityTags& integrityTags)
    : tags(integrityTags)
{
}

std::optional<std::string> IntegrityTags::FolderReads::tagOf(const nocase_wstring& uniqueName,
                                                            const nocase_wstring& folderUniqueName)
{
    if (!folderUniqueName.empty() && foldersRead.insert(folderUniqueName).second)
        known.merge(tags.inside(folderUniqueName));
    const auto found = known.find(toNarrow(uniqueName));
    if (found != known.end())
        return found->second;
    // Not among its folder's: asked on its own, so that no body is ever
    // taken for one without a tag.
    return tags.tagOf(uniqueName);
}

void IntegrityTags::store(const nocase_wstring& uniqueName, const std::string& tag)
{
    try {
        if (!hasTable()) {
            query.executeOrThrow(vaultschema::createBodyTags, "record the integrity tags");
            query.executeOrThrow(vaultschema::createBodyTagsTrigger, "record the integrity tags");
            tableKnown = true;
        }
        static const std::string statement = boundStatement(vaultschema::storeBodyTag);
        query.executeBoundOrThrow(statement, {toNarrow(uniqueName), tag}, "record the integrity tags");
    } catch (...) {
        // The transaction that made the table may be rolled back: ask again.
        tableKnown.reset();
        throw;
    }
}

void IntegrityTags::remove(const nocase_wstring& uniqueName)
{
    if (!hasTable())
        return;
    static const std::string statement = boundStatement(vaultschema::deleteBodyTag);
    query.executeBoundOrThrow(statement, {toNarrow(uniqueName)}, "record the integrity tags");
}
