#include "engine/PackageWriter.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "engine/ExceptionModule.h"
#include "engine/IntegrityTags.h"
#include "engine/ProgressTracker.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "engine/archive/ZipArchive.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/FileKey.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"

namespace {

constexpr wchar_t kAddFailed[] = L"Error while adding files to KORVELIN file.";

// A package that did not reach its end is dropped, never written half.
struct ZipDiscarder {
    void operator()(ZipHandleData* zip) const { discardZip(zip); }
};

// Passes the zip writer's progress on to the operation's observer.
class PackageProgress : public ZipWriteObserver {
public:
    PackageProgress(ProgressTracker& tracker, KistProgress* observer)
        : tracker(tracker)
        , observer(observer)
    {
    }
    void written(uint64_t bytes) override { tracker.bytesWritten(bytes); }
    bool stopRequested() override { return observer != nullptr && observer->stopRequested(); }

private:
    ProgressTracker& tracker;
    KistProgress* observer;
};

// Bodies whose tags did not match: the top-level entry and the body's path
// of display names.
using DamagedBodies = std::vector<std::pair<const ProtectedFile*, nocase_wstring>>;

// Checks one body against its tag while the zip layer reads it into the
// package; a mismatch fails the package and names the entry it belongs to.
class BodyCheck {
public:
    BodyCheck(const std::string& fileKey, std::string expectedTag, const ProtectedFile& topEntry,
              nocase_wstring bodyLabel, DamagedBodies& damagedBodies)
        : tag(fileKey)
        , expected(std::move(expectedTag))
        , top(topEntry)
        , label(std::move(bodyLabel))
        , damaged(damagedBodies)
    {
        watch.bytes = [this](const unsigned char* data, std::size_t length) { tag.update(data, length); };
        watch.complete = [this] {
            if (!verdict) {
                verdict = sameTag(tag.finish(), expected);
                if (!*verdict)
                    damaged.emplace_back(&top, label);
            }
            return *verdict;
        };
    }
    BodyCheck(const BodyCheck&) = delete;
    BodyCheck& operator=(const BodyCheck&) = delete;

    ZipAddWatch watch;

private:
    BodyTag tag;
    std::string expected;
    const ProtectedFile& top;
    nocase_wstring label;
    DamagedBodies& damaged;
    std::optional<bool> verdict;
};

// One attempt at the whole package. A body that does not match its tag
// fails it: damaged then names the body and its entry.
void writePackage(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                  const std::string& sealingText, const std::string& packagePassword, KistProgress* observer,
                  Database& sourceDatabase, DamagedBodies& damaged);

} // namespace

void PackageWriter::exportFiles(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                                const std::string& sealingText, const std::string& packagePassword,
                                KistProgress* observer, Database& sourceDatabase)
{
    std::vector<ProtectedFile*> going = records;
    nocase_wstring damagedText;
    // A file already there (an older backup) may hold the only sound copy
    // of a damaged body: it is never replaced by a package without it.
    const bool replacing = pathExists(makeAbsolute(destination));
    // An export of nothing still writes a package (a backup of an empty vault).
    for (;;) {
        DamagedBodies damaged;
        try {
            writePackage(going, destination, sealingText, packagePassword, observer, sourceDatabase, damaged);
            break;
        } catch (const ExceptionModule&) {
            if (damaged.empty())
                throw;
        }
        // Written again without the entries whose bodies were altered, so
        // the others still reach the package; rare, and only then twice.
        std::set<const ProtectedFile*> leftOut;
        for (const auto& [top, label] : damaged) {
            damagedText += cryptoerrors::kBodyDamaged + label + L"\n";
            leftOut.insert(top);
        }
        std::erase_if(going, [&](const ProtectedFile* record) { return leftOut.count(record) > 0; });
        if (replacing || going.empty())
            break;
    }
    if (!damagedText.empty()) {
        damagedText.pop_back();
        throw ExceptionModule(damagedText, L"");
    }
}

namespace {

void writePackage(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                  const std::string& sealingText, const std::string& packagePassword, KistProgress* observer,
                  Database& sourceDatabase, DamagedBodies& damaged)
{
    ProgressTracker progress(observer);
    for (const ProtectedFile* record : records)
        progress.addWork(*record);

    VaultEngine writer(EngineKind::TemporaryVault);
    const nocase_wstring target = makeAbsolute(destination);
    std::unique_ptr<ZipHandleData, ZipDiscarder> zip(createZip(target));
    if (!zip)
        throw ExceptionModule(L"Invalid KORVELIN file: " + destination + L".", L"");

    writer.setPassword(sealingText, "");
    VaultOperations writerOperations(writer);
    Query sourceQuery(sourceDatabase);
    IntegrityTags sourceTags(sourceQuery);
    IntegrityTags::FolderReads sourceTagReads(sourceTags);
    // Alive until the package is closed, when the zip layer reads the bodies.
    std::deque<BodyCheck> checks;
    {
        Query query(*writer.database);
        Transaction transaction(query);
        IntegrityTags packageTags(query);
        bool first = true;
        for (const ProtectedFile* record : records) {
            if (!first)
                progress.stopPointReached();
            first = false;
            progress.startEntry(record->display_name);
            // Roots empty: every body path is relative to wherever the
            // package is unpacked.
            auto copy = record->copyTree(L"");
            // Every record travels, empty files and folders included, so a
            // backup brings back everything the vault held.
            std::vector<std::pair<const ProtectedFile*, nocase_wstring>> sources;
            const std::function<void(const ProtectedFile&, const nocase_wstring&)> walk =
                [&](const ProtectedFile& r, const nocase_wstring& label) {
                    sources.emplace_back(&r, label);
                    for (const auto& child : r.children)
                        walk(*child, label + L"/" + child->display_name);
                };
            walk(*record, record->display_name);
            std::size_t index = 0;
            copy->forEach([&](const ProtectedFile& row) {
                const auto& [source, label] = sources[index++];
                row.insertRow(query);
                if (!row.is_directory) {
                    // Encrypted bodies do not shrink: deflating them would
                    // only cost time.
                    const ZipMethod method = row.is_encrypted ? ZipMethod::Stored : ZipMethod::ByName;
                    const ZipAddWatch* watch = nullptr;
                    const std::optional<std::string> tag =
                        row.is_encrypted ? sourceTagReads.tagOf(source->unique_name, source->parent) : std::nullopt;
                    if (tag) {
                        packageTags.store(row.unique_name, *tag);
                        checks.emplace_back(openFileKey(sealingText, source->cipher), *tag, *record, label, damaged);
                        watch = &checks.back().watch;
                    }
                    if (zipAdd(zip.get(), row.current_path, source->sourcePath(), method, watch) != ZR_OK)
                        throw ExceptionModule(kAddFailed, L"");
                }
            });
            copy->display_name = writerOperations.freeDisplayName(copy->display_name);
            const nocase_wstring name = copy->display_name;
            writer.keepEntry(name, std::move(copy));
        }
        transaction.commit();
    }

    writer.setPassword(packagePassword, sealingText);
    {
        // The package says nothing about the sender's Vault password: its
        // previous-password row holds the hash of the empty text, as a new
        // vault's does.
        Query query(*writer.database);
        query.executeOrThrow(formatStatement("update KistConfig set nv_value='%s' where nv_name='PreviousPassword'",
                                             sqlText(writer.hashOf("")).c_str()),
                             "write the package");
    }
    const nocase_wstring databasePath = joinPath(writer.vaultFolder, toWide(vaultschema::databaseFileName));
    writer.database.reset();
    if (zipAdd(zip.get(), toWide(vaultschema::databaseFileName), databasePath) != ZR_OK)
        throw ExceptionModule(kAddFailed, L"");
    // The bodies are read and written only now: the bytes are reported as
    // they reach the package, and a stop request is heard meanwhile.
    PackageProgress closing(progress, observer);
    const int closed = closeZip(zip.release(), &closing);
    if (closed == ZR_CANCELLED)
        throw ExceptionModule(kCancelledMessage, L"");
    if (closed != ZR_OK)
        throw ExceptionModule(kAddFailed, L"");
    progress.allWritten();
}

} // namespace
