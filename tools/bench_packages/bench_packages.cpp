// bench_packages: measures the package round trip through the Kist facade on
// files totalling --size-mib (default 1024 MiB), on the same plain files:
//
//   add      the files go into a vault (moved in, each encrypted)
//   export   the vault entry is written into a package (.kzip)
//   import   a second vault opens the package and copies the entry in
//   dd       dd if=PACKAGE of=COPY bs=1M conv=fsync: the disk's flushed
//            sequential write of as many bytes as the export writes
//   7z       7z a -p<pw> -tzip -mx=0 on the plain files (stored, ZipCrypto)
//
// Export and import run --runs times (default 3) and the median counts; the
// target is each at 0.7 of dd's throughput or better. Each of them, and dd,
// starts with its input evicted from the page cache, so it reads the disk. Throughputs are in MiB
// of plain data per second. The last import is taken out again and compared
// with the plain files byte for byte.
//
//   bench_packages [--size-mib N] [--runs N] [--files N] [--dir D] [--keep]
//
// Everything happens in a scratch folder below --dir (default $TMPDIR, else
// /var/tmp) with HOME, XDG_* and TMPDIR pointing into it; it is removed at the
// end unless --keep. Needs about six times the size in free space. Exit
// status 0 when every target is met, 2 when one is missed, 1 when something
// failed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>

#include "engine/Kist.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/Descriptor.h"
#include "tools/bench_common/Median.h"
#include "tools/bench_common/ProcessUsage.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSenderPassword[] = "sender vault pw";
constexpr char kReceiverPassword[] = "receiver vault pw";
constexpr char kPackagePassword[] = "bench package pw";
constexpr char kEntryName[] = "data";

struct Settings {
    std::uint64_t sizeMiB = 1024;
    int runs = 3;
    int files = 8;
    std::string folder = defaultScratchParent();
    bool keep = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_packages", "bench_packages [--size-mib N] [--runs N] [--files N] [--dir D] [--keep]",
                             "measures exporting and importing packages against 7z", argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--runs")
            settings.runs = static_cast<int>(std::min<std::uint64_t>(arguments.positiveNumber(), 100));
        else if (option == "--files")
            settings.files = static_cast<int>(std::min<std::uint64_t>(arguments.positiveNumber(), 100000));
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else
            arguments.rejectOption();
    }
    return settings;
}

// Bytes of a small xorshift generator: what plain data compresses to does
// not matter here, since only its encrypted bodies travel.
void createPlainFile(const std::string& path, std::uint64_t size, std::uint64_t seed)
{
    Descriptor out(path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::uint64_t> block(kMiB / sizeof(std::uint64_t));
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    std::uint64_t position = 0;
    while (position < size) {
        for (std::uint64_t& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kMiB, size - position));
        out.writeAll(reinterpret_cast<const char*>(block.data()), count);
        position += count;
    }
}

// Settles the disk before and after step, so that its time holds the
// write-back of what it wrote and nothing of what came before.
template <typename Step>
double settledSecondsOf(const std::string& folder, Step&& step)
{
    settle(folder);
    return secondsOf([&] {
        step();
        settle(folder);
    });
}

// Points the home folders and $TMPDIR into home, so that Kist(true) opens
// the vault there.
void useHome(const std::string& home)
{
    useScratchHome(home, home + "/tmp");
    ::unsetenv("KORVELIN_UPDATE_SERVER");
}

constexpr double kThroughputTarget = 0.7;

double mibPerSecond(std::uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / static_cast<double>(kMiB) / seconds : 0.0;
}

struct Results {
    double add = 0;
    double exportSeconds = 0;
    double import = 0;
    double takeOut = 0;
    double dd = 0;
    double sevenZip = -1; // not run
    std::uint64_t packageBytes = 0;
    std::uint64_t sevenZipBytes = 0;
};

void printLine(const char* step, double seconds, std::uint64_t bytes, const std::string& note = "")
{
    std::printf("  %-38s %8.2f s  %8.1f MiB/s%s\n", step, seconds, mibPerSecond(bytes, seconds), note.c_str());
}

bool report(const Settings& settings, std::uint64_t total, const Results& r)
{
    std::printf("bench_packages: %d files, %.1f MiB of plain data, median of %d run%s\n", settings.files,
                static_cast<double>(total) / static_cast<double>(kMiB), settings.runs, settings.runs == 1 ? "" : "s");
    printLine("add to vault (move, encrypt)", r.add, total);
    printLine("export to package", r.exportSeconds, total,
              "  (package " + std::to_string(r.packageBytes / kMiB) + " MiB)");
    printLine("import (open, unpack, copy, re-seal)", r.import, total);
    printLine("take out of second vault (decrypt)", r.takeOut, total);
    printLine("dd of the package, conv=fsync", r.dd, total);
    const double exportRatio = r.dd / r.exportSeconds;
    const double importRatio = r.dd / r.import;
    std::printf("  export throughput / dd throughput: %.2f  >= %.2f: %s\n", exportRatio, kThroughputTarget,
                verdict(exportRatio >= kThroughputTarget));
    std::printf("  import throughput / dd throughput: %.2f  >= %.2f: %s\n", importRatio, kThroughputTarget,
                verdict(importRatio >= kThroughputTarget));
    if (r.sevenZip >= 0) {
        printLine("7z a -p -tzip -mx=0 (stored, ZipCrypto)", r.sevenZip, total,
                  "  (archive " + std::to_string(r.sevenZipBytes / kMiB) + " MiB)");
        std::printf("  export throughput / 7z throughput: %.2f\n", r.sevenZip / r.exportSeconds);
        std::printf("  import throughput / 7z throughput: %.2f\n", r.sevenZip / r.import);
    } else {
        std::printf("  7z not found: no comparison\n");
    }
    std::printf("  peak memory of this process: %.1f MiB\n", usageOfThisProcess().peakMiB);
    return exportRatio >= kThroughputTarget && importRatio >= kThroughputTarget;
}

int benchmark(const Settings& settings)
{
    const ScratchFolder scratch(settings.folder, "bench-packages-",
                                settings.keep ? ScratchFolder::AtEnd::keepAndPrintPath : ScratchFolder::AtEnd::remove);
    const std::string& root = scratch.path();

    const std::string plain = root + "/plain/" + kEntryName;
    const std::string adding = root + "/adding/" + kEntryName;
    fs::create_directories(plain);
    fs::create_directories(adding);
    const std::uint64_t total = settings.sizeMiB * kMiB;
    std::vector<std::string> names;
    for (int i = 0; i < settings.files; ++i) {
        const std::uint64_t share = total / static_cast<std::uint64_t>(settings.files);
        const std::uint64_t size = i + 1 == settings.files ? total - share * static_cast<std::uint64_t>(i) : share;
        const std::string name = "file-" + std::to_string(i) + ".bin";
        createPlainFile(plain + "/" + name, size, static_cast<std::uint64_t>(i));
        // Adding moves the file into the vault: it gets a second name of the same data.
        fs::create_hard_link(plain + "/" + name, adding + "/" + name);
        names.push_back(name);
    }

    Results results;
    if (programAvailable("7z")) {
        const std::string archive = root + "/seven.zip";
        results.sevenZip = settledSecondsOf(root, [&] {
            // Its banner goes to standard output whatever -bso0 says: kept out of the report.
            (void)outputOfProgram({"7z", "a", std::string("-p") + kPackagePassword, "-tzip", "-mx=0", "-bso0", "-bsp0",
                                   archive, kEntryName},
                                  root + "/plain");
        });
        results.sevenZipBytes = fs::file_size(archive);
        fs::remove(archive);
    }

    useHome(root + "/sender");
    const std::string package = root + "/bench.kzip";
    std::vector<double> exports, imports, dds;
    {
        Kist vault(true);
        vault.setPassword(kSenderPassword, "");
        KistFile added;
        results.add = settledSecondsOf(root, [&] { vault.addFile(adding, &added, false); });
        for (int run = 0; run < settings.runs; ++run) {
            fs::remove(package);
            // Every step reads its input from the disk.
            evictFromCache(root + "/sender/.local/share/kist");
            exports.push_back(
                settledSecondsOf(root, [&] { vault.exportFiles(package, {kEntryName}, kPackagePassword); }));
            const std::string copy = root + "/package.copy";
            evictFromCache(package);
            dds.push_back(settledSecondsOf(root, [&] {
                runProgram({"dd", "if=" + package, "of=" + copy, "bs=1M", "conv=fsync", "status=none"});
            }));
            fs::remove(copy);
        }
        results.packageBytes = fs::file_size(package);
    }

    // Each import into a new vault of its own, so every run does the same work.
    std::unique_ptr<Kist> receiver;
    for (int run = 0; run < settings.runs; ++run) {
        receiver.reset();
        useHome(root + "/receiver" + std::to_string(run));
        receiver = std::make_unique<Kist>(true);
        receiver->setPassword(kReceiverPassword, "");
        evictFromCache(package);
        imports.push_back(settledSecondsOf(root, [&] {
            Kist reader(package);
            if (!reader.login(kPackagePassword))
                throw std::runtime_error("the package does not open with its password");
            reader.copyFilesToVault({kEntryName}, kReceiverPassword);
        }));
    }
    results.exportSeconds = median(exports);
    results.import = median(imports);
    results.dd = median(dds);

    const std::string out = root + "/out";
    fs::create_directories(out);
    std::vector<KistFile*> entries;
    receiver->listFiles(entries);
    for (KistFile* entry : entries)
        delete entry;
    results.takeOut = settledSecondsOf(root, [&] { receiver->removeFile(kEntryName, out); });
    for (const std::string& name : names) {
        if (!sameContents(plain + "/" + name, out + "/" + kEntryName + "/" + name))
            throw std::runtime_error("the imported " + name + " differs from the plain file");
    }
    return report(settings, total, results) ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    return runReportingFailure("bench_packages", [&] { return benchmark(settings); });
}
