#include "engine/VaultCheck.h"

#include <map>
#include <memory>
#include <set>

#include "engine/ExceptionModule.h"
#include "engine/BodyFormat.h"
#include "engine/HardenedVault.h"
#include "engine/IntegrityTags.h"
#include "engine/ProgressTracker.h"
#include "engine/ProtectedFile.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/Folders.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

namespace {

std::wstring exact(const nocase_wstring& text)
{
    return std::wstring(text.data(), text.size());
}

using Rows = std::vector<std::unique_ptr<ProtectedFile>>;

Rows readEveryRow(Database& database, const nocase_wstring& inheritedRoot)
{
    Rows rows;
    Query query(database);
    if (!query.get_result(vaultschema::selectAllRows))
        throw ExceptionModule(L"Cannot read the vault database.", toWide(query.lastError()));
    while (query.fetch_row()) {
        auto row = std::make_unique<ProtectedFile>();
        row->readRow(query, inheritedRoot);
        rows.push_back(std::move(row));
    }
    const std::string error = query.lastError();
    query.free_result();
    if (!error.empty())
        throw ExceptionModule(L"Cannot read the vault database.", toWide(error));
    return rows;
}

// A private folder the bodies are decrypted into, one at a time, and that
// goes with the check: in memory (/dev/shm) where the system has it.
class ScratchFolder {
public:
    ScratchFolder()
    {
        if (pathExists(L"/dev/shm") && pathInfo(L"/dev/shm").isFolder) {
            try {
                path = joinPath(L"/dev/shm", L"kist-check-" + uniqueId());
                createFolder(path, true);
                return;
            } catch (const ExceptionModule&) {
                path.clear();
            }
        }
        path = resolveFolder(TempKind, uniqueId());
    }
    ~ScratchFolder()
    {
        try {
            deletePath(path);
        } catch (const ExceptionModule&) {
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    nocase_wstring path;
};

} // namespace

VaultCheck::VaultCheck(VaultEngine& vaultEngine, bool addTags)
    : engine(vaultEngine)
    , addMissingTags(addTags)
{
}

KistCheckReport VaultCheck::run()
{
    engine.requireLogin();
    VaultLock lock(engine);
    KistCheckReport report;
    if (!engine.database)
        return report;
    const Rows rows = readEveryRow(*engine.database, engine.vaultFolder);
    report.rows = rows.size();
    const auto note = [&](const nocase_wstring& text) { report.findings.push_back(toNarrow(text)); };

    std::map<std::wstring, const ProtectedFile*> byIdentity;
    for (const auto& row : rows)
        if (!byIdentity.emplace(exact(row->unique_name), row.get()).second)
            note(L"two rows share the identity " + row->unique_name);
    // The display names from the top down to the row, for the findings.
    const auto label = [&](const ProtectedFile& row) {
        nocase_wstring text = row.display_name;
        const ProtectedFile* at = &row;
        for (int depth = 0; depth < 256 && !at->parent.empty(); ++depth) {
            const auto up = byIdentity.find(exact(at->parent));
            if (up == byIdentity.end() || up->second == at)
                break;
            at = up->second;
            text = at->display_name + L"/" + text;
        }
        return text;
    };
    (void)engine.entries();
    for (const nocase_wstring& name : engine.unreadableEntries)
        note(L"the rows of this entry cannot be read: " + name);

    // What the rows name inside the vault folder, with every folder on the way.
    std::set<std::wstring> named{exact(joinPath(engine.vaultFolder, toWide(vaultschema::databaseFileName))),
                                 exact(joinPath(engine.vaultFolder, L".lock")),
                                 exact(joinPath(engine.vaultFolder, HardenedVault::headerFileName))};
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        named.insert(exact(joinPath(engine.vaultFolder, toWide(vaultschema::databaseFileName) + toWide(suffix))));
    std::set<std::wstring> onTheWay;
    const auto name = [&](const nocase_wstring& path) {
        if (!isInsideOrSame(path, engine.vaultFolder))
            return;
        named.insert(exact(path));
        for (nocase_wstring up = parentFolder(path); isInsideOrSame(up, engine.vaultFolder) && !sameExactly(up, engine.vaultFolder);
             up = parentFolder(up))
            onTheWay.insert(exact(up));
    };

    std::map<nocase_wstring, int> topLevelNames;
    ProgressTracker progress(engine.progressObserver);
    for (const auto& row : rows)
        if (!row->is_directory && row->is_encrypted)
            progress.addWork(1, row->size);
    progress.startEntry(L"");
    ScratchFolder scratch;
    const nocase_wstring scratchFile = joinPath(scratch.path, L"body");
    Query tagQuery(*engine.database);
    IntegrityTags integrityTags(tagQuery);
    const std::map<std::string, std::string> tags = integrityTags.all();
    // Untagged bodies that decrypted cleanly, with the tag they were read with.
    std::vector<std::pair<nocase_wstring, std::string>> missingTags;

    for (const auto& row : rows) {
        const nocase_wstring where = label(*row);
        if (row->parent.empty())
            ++topLevelNames[row->display_name];
        else if (!byIdentity.count(exact(row->parent)))
            note(L"a row whose folder has no row: " + where);
        name(row->sourcePath());
        if (row->pending_transform != NothingPending) {
            name(row->destinationPath());
            note(L"a change was left unfinished: " + where);
            continue;
        }
        const nocase_wstring body = row->sourcePath();
        if (!pathExists(body)) {
            note((row->is_directory ? L"the folder is missing: " : L"the body is missing: ") + where);
            continue;
        }
        if (row->is_directory) {
            if (!pathInfo(body).isFolder)
                note(L"a folder's record names something that is no folder: " + where);
            continue;
        }
        if (!row->is_encrypted) {
            if (row->is_hidden)
                note(L"lies unencrypted in the vault: " + where);
            continue;
        }
        const auto tag = tags.find(toNarrow(row->unique_name));
        if (engine.isHardened()) {
            // Every chunk's tag is checked as the body decrypts.
            try {
                const BodyFormat& format = engine.bodyFormat();
                const SecretText fileKey = format.openFileKey(engine.password, row->cipher);
                FileTransformOptions options;
                options.plainSize = row->size;
                options.flush = false;
                if (format.transform(body, scratchFile, false, fileKey, row->encrypt_algo, options) == row->size)
                    ++report.bodies;
                else
                    note(L"the body does not decrypt to its recorded size: " + where);
            } catch (const ExceptionModule& failure) {
                const std::string reason = refusalReason(failure.getMessage(), toNarrow(body));
                if (!reason.empty())
                    note(cryptoerrors::kBodyDamaged + where + L" (" + toWide(reason) + L")");
                else
                    note(toWide(failure.getMessage()) + L": " + where);
            }
            (void)deleteFile(scratchFile);
            progress.fileDone(row->size);
            continue;
        }
        try {
            CryptoContext context(L"Korvelin");
            const SecretText fileKey = openFileKey(engine.password, row->cipher);
            context.deriveKey(fileKey);
            context.setAlgorithm(row->encrypt_algo.empty() ? vaultschema::defaultEncryption : row->encrypt_algo);
            FileTransformOptions options;
            options.plainSize = row->size;
            options.flush = false;
            std::string computedTag;
            options.tagFileKey = &fileKey.text();
            options.computedTag = &computedTag;
            if (tag != tags.end())
                options.expectedTag = tag->second;
            const uint64_t plainBytes = context.transformFile(body, scratchFile, false, options);
            if (plainBytes != row->size) {
                note(L"the body does not decrypt to its recorded size: " + where);
            } else {
                ++report.bodies;
                if (tag == tags.end()) {
                    report.untagged.push_back(toNarrow(L"no integrity tag: " + where));
                    missingTags.emplace_back(row->unique_name, computedTag);
                }
            }
        } catch (const ExceptionModule& failure) {
            if (failure.getMessage().rfind(toNarrow(cryptoerrors::kBodyDamaged), 0) == 0)
                note(cryptoerrors::kBodyDamaged + where);
            else
                note(L"the body does not decrypt to its recorded size: " + where);
        }
        (void)deleteFile(scratchFile);
        progress.fileDone(row->size);
    }
    if (addMissingTags && !missingTags.empty()) {
        Transaction transaction(tagQuery);
        for (const auto& [uniqueName, tag] : missingTags)
            integrityTags.store(uniqueName, tag);
        transaction.commit();
        report.tagsAdded = missingTags.size();
    }
    for (const auto& [topName, count] : topLevelNames)
        if (count > 1)
            note(L"several entries have the name " + topName);

    // Walks the vault folder; an unnamed folder is reported, not entered.
    std::vector<nocase_wstring> folders{engine.vaultFolder};
    while (!folders.empty()) {
        const nocase_wstring folder = folders.back();
        folders.pop_back();
        std::vector<nocase_wstring> names;
        listFolder(folder, names);
        for (const nocase_wstring& child : names) {
            const nocase_wstring path = joinPath(folder, child);
            if (named.count(exact(path)) || onTheWay.count(exact(path))) {
                if (pathInfo(path).isFolder)
                    folders.push_back(path);
                continue;
            }
            note(L"no row names this file in the vault folder: " + path);
        }
    }
    return report;
}
