// bench_packages: measures the package round trip through the Kist facade on
// files totalling --size-mib (default 1024 MiB), all in one run and on the
// same plain files:
//
//   add      the files go into a vault (moved in, each encrypted)
//   export   the vault entry is written into a package (.kzip)
//   import   a second vault opens the package and copies the entry in
//   7z       7z a -p<pw> -tzip -mx=0 on the plain files (stored, ZipCrypto)
//
// and reports throughputs in MiB of plain data per second, export and import
// relative to 7z, and the share of the export spent deflating (see
// deflateSeconds for the method). The imported entry is taken out again and
// compared with the plain files byte for byte.
//
//   bench_packages [--size-mib N] [--files N] [--dir D] [--keep]
//
// Everything happens in a scratch folder below --dir (default $TMPDIR, else
// /var/tmp) with HOME, XDG_* and TMPDIR pointing into it; it is removed at the
// end unless --keep. Needs about six times the size in free space. Exit
// status 0 when every step succeeded, 1 otherwise.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
#include "tools/bench_common/ProcessUsage.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSenderPassword[] = "sender vault pw";
constexpr char kReceiverPassword[] = "receiver vault pw";
constexpr char kPackagePassword[] = "bench package pw";
constexpr char kEntryName[] = "data";

struct Settings {
    std::uint64_t sizeMiB = 1024;
    int files = 8;
    std::string folder = defaultScratchParent();
    bool keep = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_packages", "bench_packages [--size-mib N] [--files N] [--dir D] [--keep]",
                             "measures exporting and importing packages against 7z", argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
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
// not matter here, since only encrypted bodies are ever deflated.
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

std::vector<std::string> regularFilesBelow(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// The deflate share of an export is estimated by deflating exactly what the
// export deflates -- every encrypted body of the entry -- with zlib at the
// package's level 8 (raw deflate, as inside a zip), through Python's zlib
// module, which is the system's zlib, in 16 KiB steps as libzip feeds it.
// The processor time of the compression loop is measured inside Python (so
// interpreter start-up is left out) and set against the processor time of
// the export; processor times hold up better than wall times on a busy
// machine. The best of three runs counts.
double deflateSeconds(const std::vector<std::string>& bodies)
{
    std::vector<std::string> arguments{
        "python3", "-c",
        "import sys, time, zlib\n"
        "start = time.process_time()\n"
        "for path in sys.argv[1:]:\n"
        "    deflater = zlib.compressobj(8, zlib.DEFLATED, -15)\n"
        "    with open(path, 'rb') as f:\n"
        "        while True:\n"
        "            block = f.read(1 << 14)\n"
        "            if not block:\n"
        "                break\n"
        "            deflater.compress(block)\n"
        "    deflater.flush()\n"
        "print(time.process_time() - start)\n"};
    arguments.insert(arguments.end(), bodies.begin(), bodies.end());
    double best = -1;
    for (int round = 0; round < 3; ++round) {
        const double seconds = std::stod(outputOfProgram(arguments));
        best = best < 0 ? seconds : std::min(best, seconds);
    }
    return best;
}

double mibPerSecond(std::uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / static_cast<double>(kMiB) / seconds : 0.0;
}

struct Results {
    double add = 0;
    double exportSeconds = 0;
    double import = 0;
    double takeOut = 0;
    double sevenZip = -1; // not run
    double exportProcessor = 0;
    double deflate = -1;  // processor seconds; not measured
    std::uint64_t packageBytes = 0;
    std::uint64_t sevenZipBytes = 0;
};

void printLine(const char* step, double seconds, std::uint64_t bytes, const std::string& note = "")
{
    std::printf("  %-38s %8.2f s  %8.1f MiB/s%s\n", step, seconds, mibPerSecond(bytes, seconds), note.c_str());
}

void report(const Settings& settings, std::uint64_t total, const Results& r)
{
    std::printf("bench_packages: %d files, %.1f MiB of plain data\n", settings.files,
                static_cast<double>(total) / static_cast<double>(kMiB));
    printLine("add to vault (move, encrypt)", r.add, total);
    printLine("export to package", r.exportSeconds, total,
              "  (package " + std::to_string(r.packageBytes / kMiB) + " MiB)");
    printLine("import (open, unpack, copy, re-seal)", r.import, total);
    printLine("take out of second vault (decrypt)", r.takeOut, total);
    if (r.sevenZip >= 0) {
        printLine("7z a -p -tzip -mx=0 (stored, ZipCrypto)", r.sevenZip, total,
                  "  (archive " + std::to_string(r.sevenZipBytes / kMiB) + " MiB)");
        std::printf("  export throughput / 7z throughput: %.2f\n", r.sevenZip / r.exportSeconds);
        std::printf("  import throughput / 7z throughput: %.2f\n", r.sevenZip / r.import);
    } else {
        std::printf("  7z not found: no comparison\n");
    }
    if (r.deflate >= 0) {
        std::printf("  deflate share of the export: %.0f%% (%.2f s of the export's %.2f s processor time)\n",
                    100.0 * r.deflate / r.exportProcessor, r.deflate, r.exportProcessor);
        std::printf("    method: processor time of a zlib deflate at level 8 (raw, as in a zip) of the\n"
                    "    same encrypted bodies, through Python's zlib, best of 3, against the processor\n"
                    "    time of the export; encrypted bodies do not shrink, so the package comes out\n"
                    "    %.3f%% larger than the plain data all the same\n",
                    100.0 * (static_cast<double>(r.packageBytes) / static_cast<double>(total) - 1.0));
    } else {
        std::printf("  python3 not found: deflate share not measured\n");
    }
    std::printf("  peak memory of this process: %.1f MiB\n", usageOfThisProcess().peakMiB);
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
    {
        Kist vault(true);
        vault.setPassword(kSenderPassword, "");
        KistFile added;
        results.add = settledSecondsOf(root, [&] { vault.addFile(adding, &added, false); });
        const double processorBefore = usageOfThisProcess().processorSeconds();
        results.exportSeconds =
            settledSecondsOf(root, [&] { vault.exportFiles(package, {kEntryName}, kPackagePassword); });
        results.exportProcessor = usageOfThisProcess().processorSeconds() - processorBefore;
        results.packageBytes = fs::file_size(package);
        if (programAvailable("python3")) {
            std::vector<std::string> bodies = regularFilesBelow(root + "/sender/.local/share/kist");
            std::erase_if(bodies, [](const std::string& path) {
                return fs::path(path).filename() == "f13f2488-44d3-4267-bf0d-80a84ac7f3ee";
            });
            results.deflate = deflateSeconds(bodies);
        }
    }

    useHome(root + "/receiver");
    Kist receiver(true);
    receiver.setPassword(kReceiverPassword, "");
    results.import = settledSecondsOf(root, [&] {
        Kist reader(package);
        if (!reader.login(kPackagePassword))
            throw std::runtime_error("the package does not open with its password");
        reader.copyFilesToVault({kEntryName}, kReceiverPassword);
    });

    const std::string out = root + "/out";
    fs::create_directories(out);
    std::vector<KistFile*> entries;
    receiver.listFiles(entries);
    for (KistFile* entry : entries)
        delete entry;
    results.takeOut = settledSecondsOf(root, [&] { receiver.removeFile(kEntryName, out); });
    for (const std::string& name : names) {
        if (!sameContents(plain + "/" + name, out + "/" + kEntryName + "/" + name))
            throw std::runtime_error("the imported " + name + " differs from the plain file");
    }
    report(settings, total, results);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    return runReportingFailure("bench_packages", [&] { return benchmark(settings); });
}
