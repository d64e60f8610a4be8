// libFuzzer target for the package reader. The first input byte chooses the
// mode (bit 0: the file is named .zip instead of .kzip; bit 1: the entries
// are also copied into the user's vault), the rest is the file. Each input is
// opened as Kist(path), logged in to with the seed passwords, listed, and
// every entry is taken out into a scratch folder. Afterwards nothing may have
// appeared outside the places the engine may write: the fuzzer aborts when
// anything did.
//
// Seeds: KIST_FUZZ_WRITE_SEEDS=<folder> package_reader_fuzzer writes a real
// exported package and a plain zip (each behind its mode bytes) and exits.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/Kist.h"
#include "tests/fuzz/FuzzSandbox.h"
#include "tests/fuzz/FuzzSeeds.h"

namespace {

FuzzSandbox sandbox;

void removeSandbox()
{
    sandbox.remove();
}

// Every engine failure is an ExceptionModule and is an answer, not a finding;
// anything else escapes to libFuzzer, which reports it.
template <typename Action>
void tolerate(Action&& action)
{
    try {
        action();
    } catch (const ExceptionModule&) {
    }
}

void openListAndTakeOut(const std::string& path, unsigned char mode)
{
    std::unique_ptr<Kist> reader;
    tolerate([&] { reader = std::make_unique<Kist>(path); });
    if (!reader)
        return;
    if (!reader->isEmptyPassword()) {
        // A locked zip unpacks at its first accepted login; a package then
        // wants its own password.
        for (const char* password : {"", kSeedZipPassword, kSeedPackagePassword, kSeedPackagePassword})
            tolerate([&] { (void)reader->login(password); });
    }
    std::vector<KistFile*> files;
    tolerate([&] { reader->listFiles(files); });
    std::vector<std::string> names;
    for (KistFile* file : files) {
        names.push_back(file->name);
        delete file;
    }
    if (mode & fuzzmode::kCopyToVault) {
        tolerate([&] { reader->copyFilesToVault(names, kSeedVaultPassword); });
        sandbox.removeVault();
    }
    for (const std::string& name : names)
        tolerate([&] { reader->removeFile(name, sandbox.outputFolder()); });
}

void writeInput(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "cannot write the input file %s\n", path.c_str());
        std::abort();
    }
}

void prepareVault()
{
    Kist vault(true);
    if (vault.isEmptyPassword())
        vault.setPassword(kSeedVaultPassword, "");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    try {
        sandbox.create();
        std::atexit(removeSandbox);
        if (const char* seeds = std::getenv("KIST_FUZZ_WRITE_SEEDS")) {
            writeSeeds(seeds, sandbox);
            std::exit(0);
        }
        // One reader and one vault first, so the settings store and the
        // restore folder they create belong to the baseline.
        const std::string emptyZip = sandbox.inputFolder() + "/empty.zip";
        const uint8_t endRecord[22] = {'P', 'K', 5, 6};
        writeInput(emptyZip, endRecord, sizeof endRecord);
        openListAndTakeOut(emptyZip, fuzzmode::kPlainZip);
        prepareVault();
        sandbox.removeVault();
        if (const std::string problems = sandbox.checkAndReset(); !problems.empty())
            std::fprintf(stderr, "warming up: %s", problems.c_str());
        sandbox.takeBaseline();
    } catch (const std::exception& e) {
        const auto* engine = dynamic_cast<const ExceptionModule*>(&e);
        std::fprintf(stderr, "cannot prepare the fuzzer: %s\n", engine ? engine->getMessage().c_str() : e.what());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned char mode = data[0];
    const std::string path =
        sandbox.inputFolder() + "/input" + ((mode & fuzzmode::kPlainZip) ? ".zip" : ".kzip");
    writeInput(path, data + 1, size - 1);
    if (mode & fuzzmode::kCopyToVault)
        prepareVault();
    openListAndTakeOut(path, mode);
    if (const std::string problems = sandbox.checkAndReset(); !problems.empty()) {
        std::fprintf(stderr, "written outside the places the engine may write:\n%s", problems.c_str());
        std::abort();
    }
    return 0;
}
