#include "engine/PackageReading.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/FileWorkers.h"
#include "engine/BodyFormat.h"
#include "engine/HardenedPackages.h"
#include "engine/HardenedVault.h"
#include "engine/IntegrityTags.h"
#include "engine/KistFile.h"
#include "engine/PackageRows.h"
#include "engine/ProgressTracker.h"
#include "engine/SecretText.h"
#include "engine/StepBoundary.h"
#include "engine/Transforms.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "engine/VaultOperations.h"
#include "engine/archive/ZipArchive.h"
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/HardenedBody.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/Folders.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/AppConfig.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

namespace {

constexpr wchar_t kPasswordMessage[] = L"Cannot use this feature until you enter your password.";
// The temporary folders packages are unpacked into: this prefix and a GUID.
constexpr char kUnpackPrefix[] = "kist-unpack-";
constexpr wchar_t kUnsupportedZip[] =
    L"Zip files not created by Windows Explorer or Zip files with password are not supported in this version.";

ExceptionModule invalidPackage(const nocase_wstring& path)
{
    return ExceptionModule(L"Invalid KORVELIN file: " + path + L".", L"");
}

bool isPasswordRefusal(const ExceptionModule& e)
{
    return toWide(e.getMessage()) == kPasswordMessage;
}

struct ZipCloser {
    void operator()(ZipHandleData* zip) const { discardZip(zip); }
};

// The database of a package may declare this much more than it takes in the
// archive: it is encrypted, so a sound one hardly compresses at all.
constexpr uint64_t kDatabaseGrowthMargin = 1024 * 1024;

nocase_wstring databasePath(const VaultEngine& engine)
{
    return joinPath(engine.workFolder, toWide(vaultschema::databaseFileName));
}

// The rows of the unpacked database, judged as a whole; throws the
// invalid-file message when they cannot be read.
PackageRows readPackageRows(const nocase_wstring& databaseFile, const nocase_wstring& packagePath)
{
    std::optional<std::vector<PackageRow>> rows = PackageReading::readRows(toNarrow(databaseFile));
    if (!rows)
        throw invalidPackage(packagePath);
    return PackageRows(std::move(*rows));
}

// Empties the work folder after a failed unpacking so that nothing of a
// half-read archive is ever taken for its content.
void resetFolder(const nocase_wstring& folder)
{
    // Emptied, not made anew: the reader's lock stays on this very folder.
    std::vector<nocase_wstring> names;
    listFolder(folder, names);
    for (const nocase_wstring& name : names)
        deletePath(joinPath(folder, name));
}

// Removes a private scratch folder, whatever is left in it.
void removeIfLeft(const nocase_wstring& folder)
{
    try {
        if (pathExists(folder))
            deletePath(folder);
    } catch (const ExceptionModule&) {
        // Goes with the reader's folder.
    }
}

// The archive's own database comes only with its password; until then the
// reader holds the placeholder password in memory, so nothing written now
// can be mistaken for the package's.
void holdLocked(VaultEngine& engine)
{
    engine.crypto = std::make_unique<CryptoContext>(L"Korvelin");
    engine.appConfig = std::make_unique<AppConfig>(resolveFolder(LocalAppDataKind, L"Brannoway/Korvelin"));
    engine.settings = {
        {vaultschema::currentPasswordSetting, engine.hashOf(kFixedKeyText)},
        {vaultschema::previousPasswordSetting, engine.hashOf("")},
        {vaultschema::versionSetting, vaultschema::vaultFormatVersion},
        {vaultschema::skinSetting, ""},
        {vaultschema::encryptionSetting, vaultschema::defaultEncryption},
    };
    wipeText(engine.password);
    engine.password = kFixedKeyText;
    engine.loggedIn = false;
}

} // namespace

std::optional<std::vector<PackageRow>> PackageReading::readRows(const std::string& databaseFile)
{
    Database database(databaseFile);
    Query query(database);
    std::vector<PackageRow> rows;
    if (!query.get_result("select * from ProtectedFiles")) {
        if (!query.lastError().empty())
            return std::nullopt;
        return rows;
    }
    while (query.fetch_row()) {
        PackageRow row;
        row.uniqueName = query.getstr("unique_name");
        row.parent = query.getstr("parent");
        row.displayName = query.getstr("display_name");
        row.rawFileName = query.getstr("raw_file_name");
        row.currentPath = query.getstr("current_path");
        row.currentRoot = query.getstr("current_root");
        row.targetPath = query.getstr("target_path");
        row.targetRoot = query.getstr("target_root");
        row.isDirectory = query.getval("is_directory") != 0;
        row.isEncrypted = query.getval("is_encrypted") != 0;
        row.size = query.getbigint("size");
        row.pendingTransform = query.getbigint("pending_transform");
        rows.push_back(std::move(row));
    }
    const bool complete = query.lastError().empty();
    query.free_result();
    if (!complete)
        return std::nullopt;
    return rows;
}

void PackageReading::removeLeftoverUnpackFolders()
{
    const nocase_wstring temp = resolveFolder(TempKind, L"");
    std::vector<nocase_wstring> names;
    try {
        listFolder(temp, names);
    } catch (const ExceptionModule&) {
        return;
    }
    const std::string prefix = kUnpackPrefix;
    for (const nocase_wstring& name : names) {
        const std::string narrow = toNarrow(name);
        if (narrow.size() != prefix.size() + 36 || narrow.compare(0, prefix.size(), prefix) != 0)
            continue;
        const nocase_wstring folder = joinPath(temp, name);
        const int fd = ::open(toNarrow(folder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat info {};
        // The lock is free once its program is gone.
        const bool leftover =
            ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (leftover) {
            try {
                deletePath(folder);
            } catch (const ExceptionModule&) {
                // Tried again next time.
            }
        }
        ::close(fd);
    }
}

bool PackageReading::isPlainZip(const nocase_wstring& path)
{
    const nocase_wstring name = lastComponent(path);
    return name.size() > 4 && name.compare(name.size() - 4, 4, L".zip") == 0;
}

void PackageReading::open(VaultEngine& engine, const nocase_wstring& packageFile)
{
    if (packageFile.empty() || !pathExists(packageFile))
        throw invalidPackage(packageFile);
    engine.kind = EngineKind::PackageReader;
    // The unpacking folder is locked while this reader lives, and gets its
    // name only once it is locked: one of that name whose lock is free
    // belongs to a program that is gone (see removeLeftoverUnpackFolders).
    const nocase_wstring temp = resolveFolder(TempKind, L"");
    const nocase_wstring id = uniqueId();
    const nocase_wstring making = joinPath(temp, L".kist-making-" + id);
    createFolder(making, true);
    engine.unpackFolderLock = ::open(toNarrow(making).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (engine.unpackFolderLock >= 0)
        (void)::flock(engine.unpackFolderLock, LOCK_EX | LOCK_NB);
    engine.vaultFolder = joinPath(temp, toWide(kUnpackPrefix) + id);
    engine.workFolder = engine.vaultFolder;
    engine.removeWorkFolder = true;
    engine.removeVaultFolder = false;
    try {
        movePath(making, engine.workFolder, false);
        engine.restoreFolder = resolveFolder(DesktopKind, L"KORVELIN Restored Files");
        engine.packagePath = makeAbsolute(packageFile);
        engine.contentReady = false;
        // A hardened package opens only with its password.
        bool locked = HardenedPackages::isHardenedPackage(engine.packagePath);
        try {
            if (!locked)
                unpack(engine);
        } catch (const ExceptionModule& e) {
            if (!isPasswordRefusal(e))
                throw;
            locked = true;
        }
        if (locked)
            holdLocked(engine);
        else
            openUnpacked(engine);
    } catch (...) {
        engine.closeVault();
        if (engine.unpackFolderLock >= 0) {
            ::close(engine.unpackFolderLock);
            engine.unpackFolderLock = -1;
        }
        try {
            deletePath(engine.workFolder);
        } catch (const ExceptionModule&) {
        }
        throw;
    }
}

void PackageReading::openUnpacked(VaultEngine& engine)
{
    engine.closeVault();
    // The rows are judged before the engine loads a single one of them.
    validateRows(engine);
    engine.openVault();
    if (isPlainZip(engine.packagePath))
        importPlainZip(engine);
}

namespace {

// Turns a refusal of the zip layer into the message the user sees.
void throwOnRefusal(int result, const nocase_wstring& packagePath)
{
    if (result == ZR_OK)
        return;
    if (result == ZR_PASSWORD)
        throw ExceptionModule(kPasswordMessage, L"");
    // A damaged archive is no valid package; only what the zip layer
    // cannot read by design is "not supported".
    if (result == ZR_UNSAFE || result == ZR_ARGS || result == ZR_CORRUPT || result == ZR_READ || result == ZR_FLATE)
        throw invalidPackage(packagePath);
    throw ExceptionModule(kUnsupportedZip, L"");
}

// Extracts one entry under its reported name.
void extractEntry(ZipHandleData* zip, const ZipItem& item, const nocase_wstring& packagePath)
{
    throwOnRefusal(unzipItem(zip, item.index, item.name), packagePath);
}

// A package unpacks its database first, then only the bodies and folders
// that its rows name, and never more bytes than the rows declare (with a
// margin): the zip layer stops every entry at the size it declares, and
// those declared sizes are added up here before anything is written.
void unpackPackage(VaultEngine& engine, ZipHandleData* zip, const std::vector<ZipItem>& items)
{
    const ZipItem* database = nullptr;
    for (const ZipItem& item : items) {
        if (sameExactly(item.name, toWide(vaultschema::databaseFileName)))
            database = &item;
    }
    if (database == nullptr
        || database->uncompressedSize > 2 * database->compressedSize + kDatabaseGrowthMargin)
        throw invalidPackage(engine.packagePath);
    extractEntry(zip, *database, engine.packagePath);

    const PackageRows rows = readPackageRows(databasePath(engine), engine.packagePath);
    if (!rows.isValid())
        throw invalidPackage(engine.packagePath);
    uint64_t unpacked = 0;
    for (const ZipItem& item : items) {
        if (&item == database)
            continue;
        std::string name = toNarrow(item.name);
        while (!name.empty() && name.back() == '/')
            name.pop_back();
        // Whatever the rows do not name is never written.
        if (!((item.attributes & ZA_FOLDER) ? rows.namesFolder(name) : rows.namesFile(name)))
            continue;
        unpacked += item.uncompressedSize;
        if (unpacked > rows.unpackingBudget())
            throw invalidPackage(engine.packagePath);
        extractEntry(zip, item, engine.packagePath);
    }
}

} // namespace

void PackageReading::unpack(VaultEngine& engine)
{
    if (engine.contentReady || engine.packagePath.empty())
        return;
    const SecretText password{std::string(engine.password)};
    std::unique_ptr<ZipHandleData, ZipCloser> zip(
        openZip(engine.packagePath, password.empty() ? nullptr : &password.text()));
    if (!zip)
        throw invalidPackage(engine.packagePath);
    try {
        if (setUnzipBaseFolder(zip.get(), engine.workFolder) != ZR_OK)
            throw invalidPackage(engine.packagePath);
        // A plain zip is unpacked whole, as it stands.
        if (isPlainZip(engine.packagePath)) {
            throwOnRefusal(unzipAll(zip.get()), engine.packagePath);
        } else {
            ZipItem item;
            if (getZipItem(zip.get(), -1, item) != ZR_OK)
                throw invalidPackage(engine.packagePath);
            const int count = item.index;
            std::vector<ZipItem> items;
            for (int index = 0; index < count; ++index) {
                if (getZipItem(zip.get(), index, item) != ZR_OK)
                    throw invalidPackage(engine.packagePath);
                items.push_back(item);
            }
            unpackPackage(engine, zip.get(), items);
        }
    } catch (...) {
        zip.reset();
        resetFolder(engine.workFolder);
        throw;
    }
    zip.reset();
    engine.contentReady = true;
}

void PackageReading::validateRows(VaultEngine& engine)
{
    // A plain zip brings no database of its own unless it carries one.
    if (!pathExists(databasePath(engine)))
        return;
    if (!readPackageRows(databasePath(engine), engine.packagePath).isValid())
        throw invalidPackage(engine.packagePath);
}

void PackageReading::importPlainZip(VaultEngine& engine)
{
    std::vector<nocase_wstring> names;
    listFolder(engine.workFolder, names);
    VaultOperations operations(engine);
    for (const nocase_wstring& name : names) {
        if (name == toWide(vaultschema::databaseFileName))
            continue;
        KistFile entry;
        operations.addFile(joinPath(engine.workFolder, name), entry, true, false);
    }
}

bool PackageReading::loginHardenedPackage(VaultEngine& engine, const std::string& candidate)
{
    ZipHandleData* opened = openZip(engine.packagePath, nullptr);
    if (opened == nullptr)
        throw invalidPackage(engine.packagePath);
    std::unique_ptr<ZipHandleData, ZipCloser> zip(opened);
    throwOnRefusal(setUnzipBaseFolder(zip.get(), engine.workFolder), engine.packagePath);
    for (int i = 0; i < 2; ++i) {
        ZipItem item;
        throwOnRefusal(getZipItem(zip.get(), i, item), engine.packagePath);
        // Both entries are stored as written: one that would unpack to much
        // more than it takes in the archive is no package of ours.
        const bool header = sameExactly(item.name, HardenedVault::headerFileName);
        if ((header && item.uncompressedSize > HardenedHeader::length)
            || item.uncompressedSize > item.compressedSize + kDatabaseGrowthMargin)
            throw invalidPackage(engine.packagePath);
        extractEntry(zip.get(), item, engine.packagePath);
    }
    zip.reset();
    const nocase_wstring sealed = joinPath(engine.workFolder, HardenedPackages::kSealedEntry);
    const nocase_wstring inner = joinPath(engine.workFolder, L".package.inner");
    std::unique_ptr<HardenedVault> package;
    try {
        package = HardenedVault::read(engine.workFolder);
        if (!package->unlock(candidate)) {
            resetFolder(engine.workFolder);
            return false;
        }
        HardenedBodyOptions options;
        options.flush = false;
        (void)decryptHardenedBody(sealed, inner, package->derivedKey(HardenedPackages::kPackageBodyLabel), options);
        (void)deleteFile(sealed);
        (void)deleteFile(joinPath(engine.workFolder, HardenedVault::headerFileName));
        // Inside is a package of the standard layout, read as every package is.
        const nocase_wstring sealedPackage = engine.packagePath;
        engine.packagePath = inner;
        wipeText(engine.password);
        try {
            unpack(engine);
        } catch (...) {
            engine.packagePath = sealedPackage;
            throw;
        }
        engine.packagePath = sealedPackage;
        (void)deleteFile(inner);
        openUnpacked(engine);
    } catch (...) {
        engine.closeVault();
        resetFolder(engine.workFolder);
        engine.contentReady = false;
        holdLocked(engine);
        throw;
    }
    // Its bodies are hardened, their keys wrapped under the package's key.
    engine.hardened = std::move(package);
    wipeText(engine.password);
    engine.password = candidate;
    engine.loggedIn = true;
    return true;
}

bool PackageReading::loginLocked(VaultEngine& engine, const std::string& candidate)
{
    if (HardenedPackages::isHardenedPackage(engine.packagePath))
        return loginHardenedPackage(engine, candidate);
    wipeText(engine.password);
    engine.password = candidate;
    try {
        unpack(engine);
    } catch (const ExceptionModule& e) {
        if (!isPasswordRefusal(e))
            throw;
        wipeText(engine.password);
        return false;
    }
    // The unpacked database replaces the placeholder: settings and entries
    // are the package's own from now on.
    try {
        openUnpacked(engine);
    } catch (...) {
        // A refused package stays refused: no later login may open the
        // database or rows that were just found wanting.
        engine.closeVault();
        resetFolder(engine.workFolder);
        engine.contentReady = false;
        holdLocked(engine);
        wipeText(engine.password);
        throw;
    }
    if (isPlainZip(engine.packagePath) && !candidate.empty()) {
        engine.setPassword(candidate, "");
    } else {
        wipeText(engine.password);
        engine.password = candidate;
    }
    return true;
}

std::size_t PackageReading::copyFilesToVault(VaultEngine& reader, const std::vector<nocase_wstring>& names,
                                             const std::string& vaultPassword, const std::string& packagePassword)
{
    std::vector<ProtectedFile*> records = VaultOperations(reader).selectByNames(names);
    std::map<std::string, std::string> tags;
    if (reader.database) {
        Query query(*reader.database);
        tags = IntegrityTags(query).all();
    }
    VaultEngine vault(EngineKind::UserVault);
    vault.progressObserver = reader.progressObserver;
    (void)vault.login(vaultPassword);
    if (records.empty())
        return 0;
    if (vault.isHardened() != reader.isHardened()) {
        // Bodies change form on the way: their tags are checked first.
        std::map<std::string, std::string> checked;
        const nocase_wstring damaged = checkTagsBeforeConverting(reader, records, packagePassword, checked);
        const std::size_t foundInVault = records.empty() ? 0 : copyAcrossFormats(reader, vault, records);
        if (!damaged.empty())
            throw ExceptionModule(damaged, L"");
        return foundInVault;
    }
    const CopyOutcome outcome = copyIntoVault(vault, records, packagePassword, tags, &reader.bodyFormat());
    if (!outcome.damaged.empty())
        throw ExceptionModule(outcome.damaged, L"");
    return outcome.foundInVault;
}

namespace {

// Progress through one entry copied into the vault, as a share of its bytes:
// a body that has a tag is read twice (checked, then linked or copied), and
// each reading counts for half of it. A stop asked meanwhile is thrown.
class EntryProgress {
public:
    EntryProgress(ProgressTracker& tracker, const ProtectedFile& entry)
        : progress(tracker)
    {
        entry.forEach([&](const ProtectedFile& record) {
            if (record.is_directory)
                return;
            ++files;
            bytes += record.size;
        });
    }

    // While the tag of a body of `size` bytes is checked, `read` bytes in.
    void checking(uint64_t size, uint64_t read) { report(done + std::min(read, size) / 2); }
    void checked(uint64_t size) { done += size / 2; }

    // While a body is linked or copied, `copied` bytes in.
    void copying(uint64_t size, bool wasChecked, uint64_t copied)
    {
        const uint64_t part = std::min(copied, size);
        report(done + (wasChecked ? part / 2 : part));
    }
    // The body is in the vault; no stop is heard here (the caller records
    // the body first, so that a stop can undo it).
    void copied(uint64_t size, bool wasChecked)
    {
        done += wasChecked ? size - size / 2 : size;
        ++filesCopied;
        progress.entryProgress(filesCopied, std::min(done, bytes));
    }

    void finished() { progress.entryDone(files, bytes); }

private:
    void report(uint64_t position)
    {
        progress.entryProgress(filesCopied, std::min(position, bytes));
        progress.stopPointReached();
    }

    ProgressTracker& progress;
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t done = 0;
    uint64_t filesCopied = 0;
};

// Checks the tagged bodies of entry against their tags before it is
// copied: false when one is altered (or cannot be read), each such body
// named in damaged ("damaged: NAME" lines); checked receives the tags that
// matched. Small bodies are checked on every core at once, a large one here
// with the progress of its bytes (and a stop heard within it).
bool checkBodyTags(const ProtectedFile& entry, const std::string& packagePassword,
                   const std::map<std::string, std::string>& tags, EntryProgress& progress,
                   std::map<std::string, std::string>& checked, nocase_wstring& damaged)
{
    struct Body {
        const ProtectedFile* row;
        nocase_wstring label;
        const std::pair<const std::string, std::string>* tag;
        bool matches = false;
    };
    std::vector<Body> bodies;
    const std::function<void(const ProtectedFile&, const nocase_wstring&)> collect =
        [&](const ProtectedFile& row, const nocase_wstring& label) {
            for (const auto& child : row.children)
                collect(*child, label + L"/" + child->display_name);
            if (row.is_directory || !row.is_encrypted)
                return;
            const auto tag = tags.find(toNarrow(row.unique_name));
            if (tag != tags.end())
                bodies.push_back({&row, label, &*tag});
        };
    collect(entry, entry.display_name);

    const auto check = [&packagePassword](Body& body, const std::function<void(uint64_t)>& onBytes) {
        try {
            const SecretText fileKey = openFileKey(packagePassword, body.row->cipher);
            body.matches = sameTag(BodyTag::ofFile(fileKey, body.row->sourcePath(), onBytes), body.tag->second);
        } catch (const ExceptionModule& failure) {
            if (isCancellation(failure))
                throw;
            // A body that cannot be read is no better than an altered one.
        }
    };
    {
        FileWorkers workers(FileWorkers::transformThreads(), 2 * FileWorkers::transformThreads());
        for (Body& body : bodies) {
            const uint64_t size = body.row->size;
            if (size >= BlockPipeline::streamThreshold) {
                check(body, [&progress, size](uint64_t read) { progress.checking(size, read); });
                progress.checked(size);
                continue;
            }
            workers.submit([&check, &body] { check(body, {}); },
                           [&progress, size] {
                               progress.checking(size, size);
                               progress.checked(size);
                           });
        }
        workers.finish();
    }

    bool whole = true;
    for (const Body& body : bodies) {
        if (body.matches) {
            checked.emplace(body.tag->first, body.tag->second);
        } else {
            damaged += cryptoerrors::kBodyDamaged + body.label + L"\n";
            whole = false;
        }
    }
    return whole;
}

// New GUID identities and numbered body paths for a whole tree.
void giveFreshIdentity(ProtectedFile& record, const nocase_wstring& path, const nocase_wstring& parentName)
{
    record.unique_name = uniqueId();
    record.current_path = path;
    record.parent = parentName;
    for (std::size_t i = 0; i < record.children.size(); ++i)
        giveFreshIdentity(*record.children[i], childTargetPath(path, i, *record.children[i], true),
                          record.unique_name);
}

bool collidesWithVault(const ProtectedFile& tree, Database& database)
{
    bool collides = false;
    tree.forEach([&](const ProtectedFile& record) {
        if (collides)
            return;
        if (pathExists(record.sourcePath())) {
            collides = true;
            return;
        }
        Query query(database);
        if (query.get_result(formatStatement("select unique_name from ProtectedFiles where unique_name = '%s'",
                                             sqlText(toNarrow(record.unique_name)).c_str()))) {
            collides = query.fetch_row();
            query.free_result();
        }
    });
    return collides;
}

} // namespace

nocase_wstring PackageReading::checkTagsBeforeConverting(VaultEngine& reader, std::vector<ProtectedFile*>& records,
                                                        const std::string& packagePassword,
                                                        std::map<std::string, std::string>& checked)
{
    if (!reader.database)
        return {};
    Query query(*reader.database);
    const std::map<std::string, std::string> tags = IntegrityTags(query).all();
    ProgressTracker tracker(nullptr);
    nocase_wstring damaged;
    std::erase_if(records, [&](ProtectedFile* record) {
        EntryProgress progress(tracker, *record);
        return !checkBodyTags(*record, packagePassword, tags, progress, checked, damaged);
    });
    if (!damaged.empty())
        damaged.pop_back();
    return damaged;
}

std::size_t PackageReading::copyAcrossFormats(VaultEngine& reader, VaultEngine& vault,
                                             const std::vector<ProtectedFile*>& records)
{
    vault.requireLogin();
    VaultLock lock(vault);
    ProgressTracker progress(vault.progressObserver);
    for (const ProtectedFile* record : records)
        progress.addWork(*record);
    VaultOperations operations(vault);
    Query query(*vault.database);
    std::size_t foundInVault = 0;
    std::size_t index = 0;
    for (ProtectedFile* record : records) {
        if (index > 0)
            progress.stopPointReached();
        bool copiedBefore = false;
        for (const auto& [name, entry] : vault.entries())
            copiedBefore = copiedBefore || entry->unique_name == record->unique_name;
        if (copiedBefore) {
            ++foundInVault;
            continue;
        }
        const nocase_wstring freeName = operations.freeDisplayName(record->display_name);
        progress.startEntry(freeName);
        const nocase_wstring plainFolder = joinPath(reader.workFolder, L".plain-" + toWide(std::to_string(index++)));
        createFolder(plainFolder, true);
        auto tree = operations.buildRecordTree(HardenedPackages::decryptTree(reader, *record, plainFolder));
        // The package's identity, so that a second copy is found.
        tree->unique_name = record->unique_name;
        for (auto& child : tree->children)
            child->parent = tree->unique_name;
        tree->display_name = freeName;
        operations.protect(*tree, query, &progress);
        vault.keepEntry(freeName, std::move(tree));
        removeIfLeft(plainFolder);
    }
    return foundInVault;
}

PackageReading::CopyOutcome PackageReading::copyIntoVault(VaultEngine& vault,
                                                          const std::vector<ProtectedFile*>& records,
                                                          const std::string& packagePassword,
                                                          const std::map<std::string, std::string>& packageTags,
                                                          const BodyFormat* packageFormat)
{
    vault.requireLogin();
    VaultLock lock(vault);
    vault.loadNewTopLevelEntries();
    ProgressTracker progress(vault.progressObserver);
    // An entry stopped part-way is undone, so a stop is heard inside one.
    progress.allowStopWithinEntries();
    for (const ProtectedFile* record : records)
        progress.addWork(*record);
    VaultOperations operations(vault);
    Query query(*vault.database);
    CopyOutcome outcome;
    // The unpacked bodies go to the disk while their tags are checked, all
    // in one flush rather than one at each link.
    nocase_wstring unpackedFolder;
    for (const ProtectedFile* record : records) {
        if (record->is_encrypted) {
            unpackedFolder = record->current_root;
            break;
        }
    }
    std::future<void> unpackedOnDisk;
    if (!unpackedFolder.empty()) {
        try {
            unpackedOnDisk = std::async(std::launch::async, [unpackedFolder] { flushFileSystem(unpackedFolder); });
        } catch (const std::system_error&) {
            // No thread to spare: the flush comes before the first link.
        }
    }
    bool first = true;
    for (ProtectedFile* record : records) {
        if (!first)
            progress.stopPointReached();
        first = false;
        bool copiedBefore = false;
        for (const auto& [name, entry] : vault.entries())
            copiedBefore = copiedBefore || entry->unique_name == record->unique_name;
        if (copiedBefore) {
            ++outcome.foundInVault;
            continue;
        }
        const nocase_wstring freeName = operations.freeDisplayName(record->display_name);
        progress.startEntry(freeName);

        if (!record->is_encrypted) {
            // A plain zip entry is protected like a dropped file.
            auto tree = operations.buildRecordTree(record->sourcePath());
            tree->display_name = freeName;
            try {
                operations.protect(*tree, query, &progress);
            } catch (const ExceptionModule& failure) {
                // Stopped: the file went back where it was unpacked.
                if (failure.getMessage().rfind(toNarrow(kCancelledMessage), 0) == 0)
                    throw ExceptionModule(kCancelledMessage, L"");
                throw;
            }
            vault.keepEntry(freeName, std::move(tree));
            continue;
        }

        // Every tagged body is checked before anything of the entry is
        // copied: an entry with an altered one stays out.
        EntryProgress entryProgress(progress, *record);
        std::map<std::string, std::string> checkedTags;
        if (!checkBodyTags(*record, packagePassword, packageTags, entryProgress, checkedTags, outcome.damaged)) {
            entryProgress.finished(); // its bytes were read, so progress never goes back
            continue;
        }

        auto copy = record->copyTree(vault.vaultFolder);
        copy->display_name = freeName;
        copy->parent.clear();
        // Nothing in the vault is ever copied over: a tree whose identity or
        // body paths are taken gets an identity of its own.
        if (collidesWithVault(*copy, *vault.database))
            giveFreshIdentity(*copy, uniqueId(), L"");

        // Journaled like a move into the vault: the rows (keys sealed for
        // the vault already) say where each body comes from and goes to
        // before the first one is linked, so recovery finishes a copy that
        // was cut short, or undoes it.
        std::vector<const ProtectedFile*> sources;
        record->forEach([&](const ProtectedFile& r) { sources.push_back(&r); });
        std::size_t index = 0;
        copy->forEach([&](ProtectedFile& target) {
            const ProtectedFile& source = *sources[index++];
            if (!isInsideOrSame(target.sourcePath(), vault.vaultFolder))
                throw ExceptionModule(L"You cannot copy a parent folder into its child: " + target.sourcePath(), L"");
            target.target_root = target.current_root;
            target.target_path = target.current_path;
            target.current_root = source.current_root;
            target.current_path = source.current_path;
            target.is_hidden = false;
            target.pending_transform = MoveIntoVault;
        });
        Transforms transforms(query, vault.kind);
        {
            Transaction transaction(query);
            copy->forEach([&](ProtectedFile& target) { target.insertRow(query); });
            if (vault.isHardened() && packageFormat != nullptr) {
                // A hardened package's keys are wrapped under its own key.
                copy->forEach([&](ProtectedFile& target) {
                    if (target.cipher.empty())
                        return;
                    target.cipher = vault.hardened->wrapFileKey(packageFormat->openFileKey(packagePassword, target.cipher));
                    target.storeCipher(query);
                });
            } else {
                transforms.resealFileKeys(*copy, packagePassword, vault.password);
            }
            transaction.commit();
        }
        stepboundary::reached("copy planned");

        std::vector<nocase_wstring> created;
        try {
            // A body's vault name shares its data: the data is on the disk
            // before the first name is made.
            if (unpackedOnDisk.valid())
                unpackedOnDisk.get();
            else if (!unpackedFolder.empty())
                flushFileSystem(unpackedFolder);
            unpackedFolder.clear();
            index = 0;
            copy->forEach([&](ProtectedFile& target) {
                const ProtectedFile& source = *sources[index++];
                const nocase_wstring destination = target.destinationPath();
                if (target.is_directory) {
                    createFolder(destination, true);
                    created.push_back(destination);
                } else {
                    // The unpacked body goes with this reader: the vault
                    // may share it instead of copying it.
                    const bool wasChecked = checkedTags.count(toNarrow(source.unique_name)) != 0;
                    linkOrCopyFile(target.sourcePath(), destination, [&](uint64_t copied) {
                        entryProgress.copying(target.size, wasChecked, copied);
                    });
                    created.push_back(destination);
                    entryProgress.copied(target.size, wasChecked);
                }
                stepboundary::reached("file copied");
            });
            // The new names are on the disk before the rows say so.
            flushFileSystem(vault.vaultFolder);
            Transaction transaction(query);
            transforms.finishMove(*copy, true);
            // Each copy keeps its body's checked tag, stored with the rows'
            // finish so that no finished body is left without it.
            index = 0;
            copy->forEach([&](ProtectedFile& target) {
                const ProtectedFile& source = *sources[index++];
                const auto tag = checkedTags.find(toNarrow(source.unique_name));
                if (!target.is_directory && tag != checkedTags.end())
                    IntegrityTags(query).store(target.unique_name, tag->second);
            });
            transaction.commit();
        } catch (...) {
            // Undone: the bodies copied so far and the rows go. Should that
            // fail, the rows stay pending and recovery settles them.
            vault.distrustEntries();
            try {
                for (auto it = created.rbegin(); it != created.rend(); ++it)
                    deletePath(*it);
                Transaction transaction(query);
                copy->forEach([&](ProtectedFile& target) { target.deleteRow(query); });
                transaction.commit();
            } catch (const ExceptionModule&) {
            }
            throw;
        }
        stepboundary::reached("copy finished");
        entryProgress.finished();
        vault.keepEntry(freeName, std::move(copy));
    }
    if (!outcome.damaged.empty())
        outcome.damaged.pop_back();
    return outcome;
}
