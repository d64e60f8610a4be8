#include "engine/PackageWriter.h"

#include <memory>

#include "engine/ExceptionModule.h"
#include "engine/ProgressTracker.h"
#include "engine/VaultEngine.h"
#include "engine/VaultOperations.h"
#include "engine/archive/ZipArchive.h"
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

} // namespace

void PackageWriter::exportFiles(const std::vector<ProtectedFile*>& records, const nocase_wstring& destination,
                                const std::string& sealingText, const std::string& packagePassword,
                                KistProgress* observer)
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
    {
        Query query(*writer.database);
        Transaction transaction(query);
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
            std::vector<const ProtectedFile*> sources;
            record->forEach([&](const ProtectedFile& r) { sources.push_back(&r); });
            std::size_t index = 0;
            copy->forEach([&](const ProtectedFile& row) {
                const ProtectedFile& source = *sources[index++];
                row.insertRow(query);
                if (!row.is_directory) {
                    // Encrypted bodies do not shrink: deflating them would
                    // only cost time.
                    const ZipMethod method = row.is_encrypted ? ZipMethod::Stored : ZipMethod::ByName;
                    if (zipAdd(zip.get(), row.current_path, source.sourcePath(), method) != ZR_OK)
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
