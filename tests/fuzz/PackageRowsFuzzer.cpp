// libFuzzer target for the rows of a package database. Each input is a set of
// rows in the text form of RowText.h, judged as the package reader judges the
// rows it unpacked (PackageRows). Refused rows must say why. Accepted rows
// must form a sound tree by the fuzzer's own account (RowTreeCheck), and must
// then load from a database exactly as the reader loads them. The database is
// opened once, so no input pays for keying a connection; the fuzzer aborts on
// anything else.
//
// Seeds: KIST_FUZZ_WRITE_SEEDS=<folder> package_rows_fuzzer writes the rows
// of a package exported by the engine and a few damaged variants of them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/ExceptionModule.h"
#include "engine/PackageReading.h"
#include "engine/PackageRows.h"
#include "engine/ProtectedFile.h"
#include "engine/archive/ZipArchive.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "engine/storage/VaultSchema.h"
#include "tests/fuzz/FuzzSandbox.h"
#include "tests/fuzz/FuzzSeeds.h"
#include "tests/fuzz/RowText.h"
#include "tests/fuzz/RowTreeCheck.h"

namespace fs = std::filesystem;

namespace {

FuzzSandbox sandbox;
std::unique_ptr<Database> database;

void removeSandbox()
{
    database.reset();
    sandbox.remove();
}

[[noreturn]] void fail(const std::string& what, const uint8_t* data, size_t size)
{
    std::fprintf(stderr, "%s\nthe rows:\n%.*s\n", what.c_str(), static_cast<int>(size),
                 reinterpret_cast<const char*>(data));
    std::abort();
}

ProtectedFile recordOf(const PackageRow& row)
{
    ProtectedFile record;
    record.unique_name = toWide(row.uniqueName);
    record.parent = toWide(row.parent);
    record.display_name = toWide(row.displayName);
    record.raw_file_name = toWide(row.rawFileName);
    record.current_path = toWide(row.currentPath);
    record.is_directory = row.isDirectory;
    record.is_encrypted = row.isEncrypted;
    record.size = static_cast<uint32_t>(row.size);
    return record;
}

// Replaces the database's rows by these and loads every top-level entry the
// way the reader opens a package's database.
std::vector<std::unique_ptr<ProtectedFile>> storeAndLoad(const std::vector<PackageRow>& rows)
{
    {
        Query query(*database);
        Transaction transaction(query);
        query.executeOrThrow("delete from ProtectedFiles", "empty the rows");
        for (const PackageRow& row : rows)
            recordOf(row).insertRow(query);
        transaction.commit();
    }
    std::vector<std::unique_ptr<ProtectedFile>> loaded;
    LoadedEntries entries = loadAllEntries(*database, L"/vault");
    for (auto& [name, entry] : entries.entries)
        loaded.push_back(std::move(entry));
    return loaded;
}

// The rows of an exported package's database, read as the reader reads them.
std::vector<PackageRow> exportedRows(const std::string& work)
{
    const std::string package = exportSeedPackage(work);
    const std::string unpacked = work + "/unpacked";
    fs::create_directories(unpacked);
    ZipHandle zip = openZip(toWide(package), nullptr);
    if (zip == nullptr || setUnzipBaseFolder(zip, toWide(unpacked)) != ZR_OK || unzipAll(zip) != ZR_OK)
        throw std::runtime_error("cannot unpack the seed package");
    (void)closeZip(zip);
    std::optional<std::vector<PackageRow>> rows =
        PackageReading::readRows(unpacked + "/" + vaultschema::databaseFileName);
    if (!rows)
        throw std::runtime_error("cannot read the seed package's rows");
    return std::move(*rows);
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void writeRowSeeds(const std::string& folder)
{
    fs::create_directories(folder);
    const std::vector<PackageRow> rows = exportedRows(sandbox.inputFolder());
    sandbox.removeVault();
    if (rows.size() < 3)
        throw std::runtime_error("the seed package has too few rows");
    writeText(folder + "/exported", rowtext::format(rows));

    // The same rows with the kinds of damage the reader must refuse.
    auto variant = [&](const std::string& name, auto&& damage) {
        std::vector<PackageRow> damaged = rows;
        damage(damaged);
        writeText(folder + "/" + name, rowtext::format(damaged));
    };
    variant("parent-loop", [](auto& r) { r[0].parent = r[1].uniqueName; r[1].parent = r[0].uniqueName; });
    variant("shared-identity", [](auto& r) { r[2].uniqueName = r[1].uniqueName; });
    variant("sibling-names", [](auto& r) { r[2].parent = r[1].parent; r[2].displayName = r[1].displayName; });
    variant("pending", [](auto& r) { r[1].pendingTransform = 2; r[1].targetPath = "x"; });
    variant("climbing-path", [](auto& r) { r[1].currentPath = "..\\..\\outside"; });
    // A deep chain of folders, each the parent of the next.
    std::vector<PackageRow> chain;
    for (int depth = 0; depth < 40; ++depth) {
        PackageRow row;
        row.uniqueName = "folder-" + std::to_string(depth);
        row.parent = depth == 0 ? "" : "folder-" + std::to_string(depth - 1);
        row.displayName = row.rawFileName = "f" + std::to_string(depth);
        row.currentPath = "deep/" + std::to_string(depth);
        row.isDirectory = true;
        chain.push_back(row);
    }
    writeText(folder + "/deep-chain", rowtext::format(chain));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    try {
        sandbox.create();
        std::atexit(removeSandbox);
        if (const char* seeds = std::getenv("KIST_FUZZ_WRITE_SEEDS")) {
            writeRowSeeds(seeds);
            std::exit(0);
        }
        database = std::make_unique<Database>(sandbox.inputFolder() + "/rows.db");
        Query query(*database);
        query.executeOrThrow(vaultschema::createProtectedFiles, "create the rows table");
        query.executeOrThrow(vaultschema::createParentIndex, "index the rows");
        // Loading reads over at most three connections at once; none of them
        // needs a journal on disk for rows that live as long as one input.
        Query second(*database);
        Query third(*database);
        for (Query* connection : {&query, &second, &third}) {
            connection->executeOrThrow("PRAGMA journal_mode=MEMORY", "keep the journal in memory");
            connection->executeOrThrow("PRAGMA synchronous=OFF", "write without syncing");
        }
    } catch (const std::exception& e) {
        const auto* engine = dynamic_cast<const ExceptionModule*>(&e);
        std::fprintf(stderr, "cannot prepare the fuzzer: %s\n", engine ? engine->getMessage().c_str() : e.what());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<PackageRow> rows = rowtext::parse(data, size);
    const PackageRows judged(rows);
    if (!judged.isValid()) {
        if (judged.whatIsWrong().empty())
            fail("refused without a reason", data, size);
        return 0;
    }
    if (const std::string unsound = rowtreecheck::unsoundness(rows); !unsound.empty())
        fail("accepted rows that form no sound tree: " + unsound, data, size);
    try {
        const auto loaded = storeAndLoad(rows);
        if (const std::string difference = rowtreecheck::loadingDifference(rows, loaded); !difference.empty())
            fail("accepted rows loaded otherwise: " + difference, data, size);
    } catch (const ExceptionModule& e) {
        fail("accepted rows did not load: " + e.getMessage(), data, size);
    }
    return 0;
}
