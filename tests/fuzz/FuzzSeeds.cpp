#include "tests/fuzz/FuzzSeeds.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "engine/Kist.h"
#include "engine/archive/ZipArchive.h"
#include "tests/fuzz/FuzzSandbox.h"

namespace fs = std::filesystem;

namespace {

void writeBytes(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return bytes.str();
}

std::string pattern(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// A small tree: a folder with files across the 2000-byte chunk rule, an
// empty file and an empty folder, and a file beside it.
std::string makeSourceTree(const std::string& folder)
{
    writeBytes(folder + "/docs/a.txt", pattern(2100));
    writeBytes(folder + "/docs/sub/b's.bin", pattern(40));
    writeBytes(folder + "/docs/empty.txt", "");
    fs::create_directories(folder + "/docs/nothing");
    writeBytes(folder + "/single.txt", "a single file");
    return folder;
}

void writeSeed(const std::string& folder, const std::string& name, unsigned char mode, const std::string& bytes)
{
    writeBytes(folder + "/" + name, std::string(1, static_cast<char>(mode)) + bytes);
}

std::string plainZip(const std::string& work)
{
    const std::string source = makeSourceTree(work + "/zip-source");
    const std::string archive = work + "/seed.zip";
    ZipHandle zip = createZip(toWide(archive));
    if (zip == nullptr)
        throw std::runtime_error("cannot create " + archive);
    bool added = true;
    for (const char* entry : {"docs/a.txt", "docs/sub/b's.bin", "docs/empty.txt", "docs/nothing", "single.txt"})
        added = zipAdd(zip, toWide(entry), toWide(source + "/" + entry)) == ZR_OK && added;
    if (closeZip(zip) != ZR_OK || !added)
        throw std::runtime_error("cannot write " + archive);
    return readBytes(archive);
}

} // namespace

std::string exportSeedPackage(const std::string& work)
{
    const std::string source = makeSourceTree(work + "/package-source");
    Kist vault(true);
    if (vault.isEmptyPassword())
        vault.setPassword(kSeedVaultPassword, "");
    else if (!vault.login(kSeedVaultPassword))
        throw std::runtime_error("the seed vault does not open");
    KistFile added;
    vault.addFile(source + "/docs", &added, false);
    vault.addFile(source + "/single.txt", &added, false);
    const std::string package = work + "/seed.kzip";
    vault.exportFiles(package, {"docs", "single.txt"}, kSeedPackagePassword);
    return package;
}

void writeSeeds(const std::string& folder, FuzzSandbox& sandbox)
{
    fs::create_directories(folder);
    const std::string package = readBytes(exportSeedPackage(sandbox.inputFolder()));
    writeSeed(folder, "package-kzip", 0, package);
    writeSeed(folder, "package-as-zip", fuzzmode::kPlainZip, package);
    writeSeed(folder, "package-copied", fuzzmode::kCopyToVault, package);
    const std::string zip = plainZip(sandbox.inputFolder());
    writeSeed(folder, "plain-zip", fuzzmode::kPlainZip, zip);
    writeSeed(folder, "plain-zip-copied", fuzzmode::kPlainZip | fuzzmode::kCopyToVault, zip);
    writeSeed(folder, "plain-zip-as-kzip", 0, zip);
    sandbox.removeVault();
}
