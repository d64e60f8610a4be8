#include "engine/Hardening.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <vector>

#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/HardenedVault.h"
#include "engine/IntegrityTags.h"
#include "engine/ProgressTracker.h"
#include "engine/StepBoundary.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/KeyWrap.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/Transaction.h"
#include "engine/storage/VaultSchema.h"

namespace {

constexpr wchar_t kReadyFile[] = L"ready";
constexpr wchar_t kBodiesFolder[] = L"bodies";
constexpr wchar_t kStagedDatabase[] = L"database";

constexpr char kAttachHardened[] = "ATTACH DATABASE '%s' AS hardened KEY \"%s\"";
constexpr char kExportHardened[] = "SELECT sqlcipher_export('hardened')";
constexpr char kDetachHardened[] = "DETACH DATABASE hardened";
constexpr char kStoreHardenedBody[] =
    "update ProtectedFiles set current_path = '%s', cipher = '%s', encrypt_algo = '%s' where unique_name = '%s'";
constexpr char kClearPasswordRows[] =
    "update KistConfig set nv_value = '' where nv_name in ('CurrentPassword', 'PreviousPassword')";
constexpr char kSetEncryption[] = "update KistConfig set nv_value = '%s' where nv_name = 'Encryption'";
constexpr char kInsertFormat[] = "insert or replace into KistConfig (nv_name, nv_value) values ('%s', '%s')";
// Hardened bodies authenticate themselves; the table (and its trigger) may
// not exist in an older vault, so a failure here is no failure.
constexpr char kClearBodyTags[] = "delete from BodyTags";

nocase_wstring stagingOf(const nocase_wstring& vaultFolder)
{
    return joinPath(vaultFolder, Hardening::kStagingFolder);
}

// The first component of a body's path: its top-level body in the vault.
nocase_wstring topComponent(const nocase_wstring& path)
{
    const auto slash = path.find(L'/');
    return slash == nocase_wstring::npos ? path : path.substr(0, slash);
}

struct ReadyList {
    std::vector<nocase_wstring> oldBodies;
    std::vector<nocase_wstring> newBodies;
};

void writeWhole(const nocase_wstring& path, const std::string& bytes)
{
    const std::string narrow = toNarrow(path);
    const std::string temporary = narrow + ".new";
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0)
        throw ExceptionModule(L"Cannot write " + path, systemErrorText(errno));
    const bool written = ::write(descriptor, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
        && ::fsync(descriptor) == 0;
    const int error = errno;
    ::close(descriptor);
    if (!written || ::rename(temporary.c_str(), narrow.c_str()) != 0)
        throw ExceptionModule(L"Cannot write " + path, systemErrorText(written ? errno : error));
    flushFileSystem(parentFolder(path));
}

ReadyList readReady(const nocase_wstring& path)
{
    ReadyList list;
    std::FILE* file = std::fopen(toNarrow(path).c_str(), "re");
    if (file == nullptr)
        throw ExceptionModule(L"Cannot read " + path, systemErrorText(errno));
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        if (text.rfind("old ", 0) == 0)
            list.oldBodies.push_back(toWide(text.substr(4)));
        else if (text.rfind("new ", 0) == 0)
            list.newBodies.push_back(toWide(text.substr(4)));
    }
    std::fclose(file);
    return list;
}

void renameOver(const nocase_wstring& from, const nocase_wstring& to)
{
    if (::rename(toNarrow(from).c_str(), toNarrow(to).c_str()) != 0)
        throw ExceptionModule(L"Cannot move " + from + L" to " + to, systemErrorText(errno));
}

// Step 3: each part is done once; a part found done is skipped, so running
// it again after a crash finishes what is left.
void rollForward(const nocase_wstring& vaultFolder)
{
    const nocase_wstring staging = stagingOf(vaultFolder);
    const ReadyList ready = readReady(joinPath(staging, kReadyFile));
    for (const nocase_wstring& body : ready.newBodies) {
        const nocase_wstring staged = joinPath(joinPath(staging, kBodiesFolder), body);
        if (pathExists(staged)) {
            renameOver(staged, joinPath(vaultFolder, body));
            stepboundary::reached("hardened body placed");
        }
    }
    flushFileSystem(vaultFolder);
    const nocase_wstring stagedDatabase = joinPath(staging, kStagedDatabase);
    if (pathExists(stagedDatabase)) {
        renameOver(stagedDatabase, joinPath(vaultFolder, toWide(vaultschema::databaseFileName)));
        flushFileSystem(vaultFolder);
        stepboundary::reached("hardened database placed");
    }
    const nocase_wstring stagedHeader = joinPath(staging, HardenedVault::headerFileName);
    if (pathExists(stagedHeader)) {
        renameOver(stagedHeader, joinPath(vaultFolder, HardenedVault::headerFileName));
        flushFileSystem(vaultFolder);
        stepboundary::reached("hardened header placed");
    }
    for (const nocase_wstring& body : ready.oldBodies) {
        const nocase_wstring old = joinPath(vaultFolder, body);
        if (pathExists(old)) {
            deletePath(old);
            stepboundary::reached("old body deleted");
        }
    }
    deletePath(staging);
    flushFileSystem(vaultFolder);
}

void settleHere(const nocase_wstring& vaultFolder)
{
    const nocase_wstring staging = stagingOf(vaultFolder);
    if (!pathExists(staging))
        return;
    if (pathExists(joinPath(staging, kReadyFile)))
        rollForward(vaultFolder);
    else
        deletePath(staging);
}

void refuseUnfinished(VaultEngine& engine)
{
    if (!engine.unreadableEntries.empty())
        throw ExceptionModule(L"Some entries of the vault cannot be read, so it cannot be hardened: "
                                  + engine.unreadableEntries.front(),
                              L"");
    for (auto& [name, entry] : engine.entries()) {
        bool whole = true;
        entry->forEach([&](const ProtectedFile& record) {
            whole = whole && record.pending_transform == NothingPending && record.is_hidden
                && (record.is_directory || (record.is_encrypted && !record.cipher.empty()));
        });
        if (!whole)
            throw ExceptionModule(L"An entry has a change that is not finished, so the vault cannot be hardened "
                                  L"yet (list the vault to finish it): "
                                      + name,
                                  L"");
    }
}

// Re-encrypts one body from the standard format into the staging folder in
// one pass: each block is decrypted and sealed anew in memory, so no plain
// copy ever reaches the disk. The old body's tag is checked before the new
// one is kept.
void rewriteBody(const ProtectedFile& record, const std::string& password, IntegrityTags& tags,
                 const nocase_wstring& target, const std::string& newKey, ProgressTracker& progress)
{
    const BodyFormat& standard = BodyFormat::standard();
    const SecretText oldKey = standard.openFileKey(password, record.cipher);
    HardenedBodySealer sealer(newKey, record.size);
    FileTransformOptions rewriting;
    rewriting.exclusive = true;
    rewriting.flush = false;
    rewriting.plainSize = record.size;
    rewriting.tagFileKey = &oldKey.text();
    rewriting.expectedTag = tags.tagOf(record.unique_name);
    rewriting.resealBlock = [&sealer](FileBlock& block) { sealer.seal(block); };
    rewriting.resealRoom = HardenedBodySealer::extraRoom;
    if (progress.active())
        rewriting.onBytes = [&progress](std::uint64_t bytes) { progress.fileBytes(bytes); };
    try {
        (void)standard.transform(record.sourcePath(), target, false, oldKey, record.encrypt_algo, rewriting);
    } catch (const ExceptionModule& failure) {
        if (failure.getMessage().rfind("damaged: ", 0) == 0)
            throw ExceptionModule(L"damaged: " + record.display_name, L"");
        throw;
    }
}

} // namespace

namespace Hardening {

std::string harden(VaultEngine& engine, const std::string& password, KistProgress* observer)
{
    if (engine.kind != EngineKind::UserVault)
        throw ExceptionModule(L"Only the vault itself can be hardened.", L"");
    if (engine.isHardened())
        throw ExceptionModule(L"This vault is hardened already.", L"");
    if (password.empty())
        throw ExceptionModule(L"A hardened vault needs a password: it cannot be empty.", L"");
    engine.requireWritable();
    requireSodium();
    VaultLock lock(engine);
    if (engine.isHardened())
        throw ExceptionModule(L"This vault is hardened already.", L"");
    if (engine.hashOf(password) != engine.settings[vaultschema::currentPasswordSetting])
        throw ExceptionModule(L"Incorrect password.", L"");
    refuseUnfinished(engine);

    ProgressTracker progress(observer);
    for (auto& [name, entry] : engine.entries())
        progress.addWork(*entry);

    const nocase_wstring vaultFolder = engine.vaultFolder;
    const nocase_wstring staging = stagingOf(vaultFolder);
    if (pathExists(staging))
        deletePath(staging);
    createFolder(staging, true);
    std::string recoveryKey;
    std::unique_ptr<HardenedVault> vault;
    try {
        vault = HardenedVault::create(password, recoveryKey);
        const nocase_wstring bodies = joinPath(staging, kBodiesFolder);
        createFolder(bodies, true);

        struct NewBody {
            nocase_wstring path;
            std::string cipher;
            std::string algorithm;
        };
        std::map<nocase_wstring, NewBody> rewritten; // by unique name
        ReadyList ready;
        Query oldQuery(*engine.database);
        IntegrityTags tags(oldQuery);
        for (auto& [name, entry] : engine.entries()) {
            progress.stopPointReached();
            progress.startEntry(name);
            const nocase_wstring oldTop = topComponent(entry->current_path);
            const nocase_wstring newTop = uniqueId();
            ready.oldBodies.push_back(oldTop);
            ready.newBodies.push_back(newTop);
            entry->forEach([&](const ProtectedFile& record) {
                const nocase_wstring newPath = newTop + record.current_path.substr(oldTop.size());
                const nocase_wstring target = joinPath(bodies, newPath);
                if (record.is_directory) {
                    createFolder(target, true);
                    rewritten[record.unique_name] = {newPath, record.cipher, record.encrypt_algo};
                    return;
                }
                const SecretText newKey(randomBytes(kKeyLength));
                rewriteBody(record, password, tags, target, newKey, progress);
                rewritten[record.unique_name] = {newPath, vault->wrapFileKey(newKey), HardenedVault::encryptionName};
                progress.fileDone(record.size);
                stepboundary::reached("hardened body written");
            });
        }
        flushFileSystem(staging);

        // The database is copied whole (SQLCipher's export) under the new
        // key, then told where the new bodies are and how they are kept.
        const nocase_wstring stagedDatabase = joinPath(staging, kStagedDatabase);
        const SecretText databaseKey = vault->databaseKey();
        // Created private before SQLite opens it (it would follow the umask).
        const int created = ::open(toNarrow(stagedDatabase).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created < 0)
            throw ExceptionModule(L"Cannot create " + stagedDatabase, systemErrorText(errno));
        ::close(created);
        oldQuery.executeOrThrow(formatStatement(kAttachHardened, sqlText(toNarrow(stagedDatabase)).c_str(),
                                                databaseKey.text().c_str()),
                                "copy the vault's database");
        try {
            oldQuery.executeOrThrow(kExportHardened, "copy the vault's database");
        } catch (...) {
            (void)oldQuery.execute(kDetachHardened);
            throw;
        }
        oldQuery.executeOrThrow(kDetachHardened, "copy the vault's database");
        {
            Database hardenedDatabase(toNarrow(stagedDatabase), databaseKey.text());
            Query query(hardenedDatabase);
            Transaction transaction(query);
            query.executeOrThrow(kClearPasswordRows, "store the hardened vault's settings");
            query.executeOrThrow(formatStatement(kSetEncryption, HardenedVault::encryptionName),
                                 "store the hardened vault's settings");
            query.executeOrThrow(
                formatStatement(kInsertFormat, HardenedVault::formatSetting, HardenedVault::formatName),
                "store the hardened vault's settings");
            (void)query.execute(kClearBodyTags);
            for (const auto& [uniqueName, body] : rewritten)
                query.executeOrThrow(formatStatement(kStoreHardenedBody, sqlText(toNarrow(body.path)).c_str(),
                                                     sqlText(body.cipher).c_str(), sqlText(body.algorithm).c_str(),
                                                     sqlText(toNarrow(uniqueName)).c_str()),
                                     "store the hardened bodies");
            transaction.commit();
        }
        flushFile(stagedDatabase);
        vault->writeHeader(joinPath(staging, HardenedVault::headerFileName));

        std::string list;
        for (const nocase_wstring& body : ready.oldBodies)
            list += "old " + toNarrow(body) + "\n";
        for (const nocase_wstring& body : ready.newBodies)
            list += "new " + toNarrow(body) + "\n";
        progress.stopPointReached();
        writeWhole(joinPath(staging, kReadyFile), list);
    } catch (...) {
        try {
            deletePath(staging);
        } catch (const ExceptionModule&) {
            // Left for the next opening, which throws it away.
        }
        throw;
    }
    stepboundary::reached("hardening ready");
    rollForward(vaultFolder);
    progress.allWritten();

    // The engine goes on with the vault it now is.
    engine.adoptHardened(std::move(vault), password);
    return recoveryKey;
}

void settleInterrupted(VaultEngine& engine)
{
    if (engine.kind != EngineKind::UserVault || !pathExists(stagingOf(engine.vaultFolder)))
        return;
    if (engine.lockDepth > 0) {
        settleHere(engine.vaultFolder);
        return;
    }
    VaultLock lock(engine);
    settleHere(engine.vaultFolder);
}

} // namespace Hardening
