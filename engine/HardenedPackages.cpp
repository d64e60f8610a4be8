#include "engine/HardenedPackages.h"

#include <functional>
#include <memory>

#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/HardenedVault.h"
#include "engine/KistFile.h"
#include "engine/PackageWriter.h"
#include "engine/ProtectedFile.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "engine/archive/ZipArchive.h"
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

constexpr wchar_t kAddFailed[] = L"Error while adding files to KORVELIN file.";
constexpr wchar_t kInnerPackage[] = L"package.inner";
constexpr char kSetEncryption[] = "update KistConfig set nv_value = '%s' where nv_name = 'Encryption'";
constexpr char kInsertFormat[] = "insert or replace into KistConfig (nv_name, nv_value) values ('%s', '%s')";

struct ZipDiscard {
    void operator()(ZipHandleData* zip) const { discardZip(zip); }
};
using ZipPtr = std::unique_ptr<ZipHandleData, ZipDiscard>;

void closeOrThrow(ZipPtr& zip)
{
    if (closeZip(zip.release()) != ZR_OK)
        throw ExceptionModule(kAddFailed, L"");
}

// A standard package of the records, written through a temporary standard
// vault that gets their plain files.
void exportStandard(VaultEngine& engine, const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                    const std::string& packagePassword)
{
    VaultEngine writer(EngineKind::TemporaryVault);
    const std::string writerPassword = toHex(randomBytes(16));
    writer.setPassword(writerPassword, "");
    writer.progressObserver = nullptr;
    VaultOperations operations(writer);
    std::vector<ProtectedFile*> composed;
    std::size_t index = 0;
    for (const ProtectedFile* record : records) {
        // A folder of its own per entry: two entries may have been added
        // under the same file name.
        const nocase_wstring plainFolder = joinPath(writer.vaultFolder, L"plain-" + toWide(std::to_string(index++)));
        createFolder(plainFolder, true);
        const nocase_wstring plain = HardenedPackages::decryptTree(engine, *record, plainFolder);
        KistFile added;
        operations.addFile(plain, added, false);
        ProtectedFile* entry = writer.entries().at(toWide(added.name)).get();
        // The package shows the entry under the name the vault shows.
        entry->display_name = record->display_name;
        composed.push_back(entry);
    }
    PackageWriter::exportFiles(composed, destination, writerPassword, packagePassword, engine.progressObserver,
                               *writer.database);
}

// The plain bytes of one body of the engine's vault, into plain.
void rewrite(VaultEngine& engine, const ProtectedFile& source, const nocase_wstring& plain)
{
    const BodyFormat& format = engine.bodyFormat();
    const SecretText key = format.openFileKey(engine.password, source.cipher);
    FileTransformOptions options;
    options.exclusive = true;
    options.flush = false;
    options.plainSize = source.size;
    (void)deleteFile(plain);
    (void)format.transform(source.sourcePath(), plain, false, key, source.encrypt_algo, options);
}

// A hardened package: the inner standard-layout package, sealed.
void exportHardened(VaultEngine& engine, const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                    const std::string& packagePassword)
{
    std::string unusedRecoveryKey;
    const std::unique_ptr<HardenedVault> package = HardenedVault::create(packagePassword, unusedRecoveryKey);
    wipeText(unusedRecoveryKey);
    VaultEngine writer(EngineKind::TemporaryVault);
    const nocase_wstring inner = joinPath(writer.vaultFolder, kInnerPackage);
    ZipPtr zip(createZip(inner));
    if (!zip)
        throw ExceptionModule(L"Invalid KORVELIN file: " + destination + L".", L"");
    VaultOperations writerOperations(writer);
    {
        Query query(*writer.database);
        Transaction transaction(query);
        query.executeOrThrow(formatStatement(kSetEncryption, HardenedVault::encryptionName), "write the package");
        query.executeOrThrow(formatStatement(kInsertFormat, HardenedVault::formatSetting, HardenedVault::formatName),
                             "write the package");
        for (const ProtectedFile* record : records) {
            auto copy = record->copyTree(L"");
            std::vector<const ProtectedFile*> sources;
            record->forEach([&](const ProtectedFile& source) { sources.push_back(&source); });
            std::size_t at = 0;
            copy->forEach([&](ProtectedFile& row) {
                const ProtectedFile& source = *sources[at++];
                nocase_wstring body = source.sourcePath();
                if (!row.cipher.empty() && engine.isHardened()) {
                    // The body stays as it is; only its key changes hands.
                    row.cipher = package->wrapFileKey(engine.hardened->unwrapFileKey(row.cipher));
                } else if (!row.cipher.empty()) {
                    // A standard vault's body is encrypted again, under a new key.
                    const nocase_wstring plain = joinPath(writer.vaultFolder, L"plain");
                    body = joinPath(writer.vaultFolder, L"body-" + toWide(std::to_string(at)));
                    rewrite(engine, source, plain);
                    const SecretText key(randomBytes(kKeyLength));
                    (void)encryptHardenedBody(plain, body, key, HardenedBodyOptions{true, false, row.size, {}});
                    (void)deleteFile(plain);
                    row.cipher = package->wrapFileKey(key);
                    row.encrypt_algo = HardenedVault::encryptionName;
                }
                row.insertRow(query);
                if (!row.is_directory && zipAdd(zip.get(), row.current_path, body, ZipMethod::Stored) != ZR_OK)
                    throw ExceptionModule(kAddFailed, L"");
            });
            copy->display_name = writerOperations.freeDisplayName(copy->display_name);
            const nocase_wstring name = copy->display_name;
            writer.keepEntry(name, std::move(copy));
        }
        transaction.commit();
    }
    const nocase_wstring databasePath = joinPath(writer.vaultFolder, toWide(vaultschema::databaseFileName));
    writer.database.reset();
    if (zipAdd(zip.get(), toWide(vaultschema::databaseFileName), databasePath) != ZR_OK)
        throw ExceptionModule(kAddFailed, L"");
    closeOrThrow(zip);

    const nocase_wstring sealed = joinPath(writer.vaultFolder, HardenedPackages::kSealedEntry);
    HardenedBodyOptions options;
    options.flush = false;
    (void)encryptHardenedBody(inner, sealed, package->derivedKey(HardenedPackages::kPackageBodyLabel), options);
    (void)deleteFile(inner);
    const nocase_wstring header = joinPath(writer.vaultFolder, HardenedVault::headerFileName);
    package->writeHeader(header);
    ZipPtr outer(createZip(makeAbsolute(destination)));
    if (!outer)
        throw ExceptionModule(L"Invalid KORVELIN file: " + destination + L".", L"");
    if (zipAdd(outer.get(), HardenedVault::headerFileName, header, ZipMethod::Stored) != ZR_OK
        || zipAdd(outer.get(), HardenedPackages::kSealedEntry, sealed, ZipMethod::Stored) != ZR_OK)
        throw ExceptionModule(kAddFailed, L"");
    closeOrThrow(outer);
}

} // namespace

namespace HardenedPackages {

bool isBackupName(const nocase_wstring& destination)
{
    const nocase_wstring suffix = L".kzipbkp";
    return destination.size() >= suffix.size()
        && destination.compare(destination.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isHardenedPackage(const nocase_wstring& path)
{
    ZipPtr zip(openZip(path, nullptr));
    if (!zip)
        return false;
    ZipItem count;
    if (getZipItem(zip.get(), -1, count) != ZR_OK || count.index != 2)
        return false;
    bool header = false;
    bool sealed = false;
    for (int i = 0; i < 2; ++i) {
        ZipItem item;
        if (getZipItem(zip.get(), i, item) != ZR_OK)
            return false;
        header = header || sameExactly(item.name, HardenedVault::headerFileName);
        sealed = sealed || sameExactly(item.name, kSealedEntry);
    }
    return header && sealed;
}

void exportFiles(VaultEngine& engine, const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                 const std::string& packagePassword, bool hardened)
{
    if (hardened)
        exportHardened(engine, records, destination, packagePassword);
    else
        exportStandard(engine, records, destination, packagePassword);
}

nocase_wstring decryptTree(VaultEngine& engine, const ProtectedFile& record, const nocase_wstring& folder)
{
    const BodyFormat& format = engine.bodyFormat();
    const std::function<void(const ProtectedFile&, const nocase_wstring&)> walk =
        [&](const ProtectedFile& row, const nocase_wstring& target) {
            if (row.is_directory) {
                createFolder(target, true);
                for (const auto& child : row.children)
                    walk(*child, joinPath(target, child->raw_file_name));
                return;
            }
            const SecretText key = format.openFileKey(engine.password, row.cipher);
            FileTransformOptions options;
            options.exclusive = true;
            options.flush = false;
            options.plainSize = row.size;
            try {
                (void)format.transform(row.sourcePath(), target, false, key, row.encrypt_algo, options);
            } catch (const ExceptionModule& failure) {
                if (failure.getMessage().rfind("damaged: ", 0) == 0)
                    throw ExceptionModule(L"damaged: " + row.display_name, L"");
                throw;
            }
        };
    const nocase_wstring top = joinPath(folder, record.raw_file_name);
    walk(record, top);
    return top;
}

} // namespace HardenedPackages
