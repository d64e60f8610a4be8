// libFuzzer target for the zip facade alone. Each input is a zip archive
// opened from memory, listed entry by entry and extracted with unzipAll, the
// code the package reader unpacks with, into a scratch folder; an archive that
// wants a password is extracted again with the seed password. Afterwards the
// scratch area must hold nothing outside the base folder, no link, no left
// temporary file, and nothing written through the link planted in the base
// folder: the fuzzer aborts when it does.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "engine/archive/ZipArchive.h"
#include "tests/fuzz/ExtractionScratch.h"
#include "tests/fuzz/FuzzSeeds.h"

namespace {

ExtractionScratch scratch;

void removeScratch()
{
    scratch.remove();
}

// What extracting the archive with the password (null: none) came to.
struct Outcome {
    bool opened = false; // false: the bytes are no archive, nothing was written
    int result = ZR_OK;
    std::set<std::string> entryNames; // as getZipItem reports them
};

Outcome listAndExtract(const uint8_t* data, size_t size, const std::string* password)
{
    ZipHandle zip = openZipFromMemory(data, size, password);
    if (zip == nullptr)
        return {};
    Outcome outcome{true, ZR_OK, {}};
    ZipItem item;
    if (getZipItem(zip, -1, item) == ZR_OK) {
        const int count = item.index;
        for (int index = 0; index < count; ++index) {
            if (getZipItem(zip, index, item) == ZR_OK)
                outcome.entryNames.insert(toNarrow(item.name));
        }
    }
    outcome.result = setUnzipBaseFolder(zip, toWide(scratch.baseFolder()));
    if (outcome.result == ZR_OK)
        outcome.result = unzipAll(zip);
    if (closeZip(zip) != ZR_OK) {
        std::fprintf(stderr, "closing a reader failed\n");
        std::abort();
    }
    return outcome;
}

void checkScratch(const Outcome& outcome)
{
    if (const std::string problems = scratch.checkAndReset(outcome.entryNames); !problems.empty()) {
        std::fprintf(stderr, "the extraction went where it must not:\n%s", problems.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    try {
        scratch.create();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot prepare the fuzzer: %s\n", e.what());
        std::abort();
    }
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Outcome plain = listAndExtract(data, size, nullptr);
    if (!plain.opened)
        return 0;
    checkScratch(plain);
    if (plain.result == ZR_PASSWORD) {
        const std::string password = kSeedZipPassword;
        if (const Outcome locked = listAndExtract(data, size, &password); locked.opened)
            checkScratch(locked);
    }
    return 0;
}
