// bench_vault: measures the user vault as the desktop program drives it,
// through Kist, in a scratch home of its own:
//   - adding one large file and taking it out, against `dd conv=fsync`
//     copying the same file (the disk's flushed sequential write) and
//     `openssl enc -aes-128-cbc` encrypting and decrypting it followed by an
//     fdatasync of its output; --runs times each, the median counts;
//   - adding a folder of many 1 KiB files in 100 sub-folders and taking it
//     out, with the share of the time spent in the database and in flushes;
//   - the peak memory of each, every scenario in a child process of its own;
//   - opening a vault of many entries and listing it, beside "VACUUM;" alone;
//   - with --tags both, what the integrity tags cost: the large file is added
//     and taken out with and without them in every run (the order turning
//     from run to run), at most 5% more time with them.
//
//   bench_vault [--size-mib N] [--runs N] [--files N] [--entries N] [--dir D] [--keep] [--quick]
//               [--tags on|off|both] [--large-only]
//
// Defaults: 1024 MiB, 3 runs, 10000 files, 20000 entries, $TMPDIR (else
// /var/tmp), tags on. --quick is --size-mib 64 --runs 1 --files 1000 --entries 2000.
// --large-only measures the large file alone. Exit status 0 when every target
// is met, 2 when one is missed, 1 when something failed.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/Kist.h"
#include "engine/Transforms.h"
#include "engine/storage/Database.h"
#include "engine/storage/Query.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/ChildRun.h"
#include "tools/bench_common/Descriptor.h"
#include "tools/bench_common/Median.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"
#include "tools/bench_vault/CallClock.h"

namespace {

namespace fs = std::filesystem;

constexpr char kVaultPassword[] = "bench vault password";
// Any AES-128 key does for openssl: only its speed is compared.
constexpr char kOpensslKey[] = "000102030405060708090a0b0c0d0e0f";
constexpr char kZeroIv[] = "00000000000000000000000000000000";
constexpr char kDatabaseName[] = "f13f2488-44d3-4267-bf0d-80a84ac7f3ee";

// Adding and taking out a large file against dd's flushed copy of it.
constexpr double kThroughputTarget = 0.7;
constexpr double kPeakMemoryTargetMiB = 64;
constexpr double kFilesPerSecondTarget = 2000;
// Peak memory must not grow with the file: the large file may cost at most
// this much more than a 1 MiB one.
constexpr double kMemoryGrowthTargetMiB = 16;
// Time with integrity tags over time without, adding or taking out the large file.
constexpr double kTagCostTarget = 1.05;
constexpr int kSubFolders = 100;
constexpr std::size_t kSmallFileSize = 1024;

struct Settings {
    std::uint64_t sizeMiB = 1024;
    int runs = 3;
    int files = 10000;
    int entries = 20000;
    std::string folder = defaultScratchParent();
    bool keep = false;
    enum class Tags { On, Off, Both } tags = Tags::On;
    bool largeOnly = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_vault",
                             "bench_vault [--size-mib N] [--runs N] [--files N] [--entries N] [--dir D] [--keep] [--quick]"
                             " [--tags on|off|both] [--large-only]",
                             "measures adding, taking out and opening the vault", argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--runs")
            settings.runs = static_cast<int>(std::min<std::uint64_t>(arguments.positiveNumber(), 100));
        else if (option == "--files")
            settings.files = static_cast<int>(arguments.positiveNumber());
        else if (option == "--entries")
            settings.entries = static_cast<int>(arguments.positiveNumber());
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else if (option == "--large-only")
            settings.largeOnly = true;
        else if (option == "--tags") {
            const std::string value = arguments.value();
            if (value == "on")
                settings.tags = Settings::Tags::On;
            else if (value == "off")
                settings.tags = Settings::Tags::Off;
            else if (value == "both")
                settings.tags = Settings::Tags::Both;
            else
                throw std::runtime_error("--tags takes on, off or both");
        }
        else if (option == "--quick") {
            settings.sizeMiB = 64;
            settings.runs = 1;
            settings.files = 1000;
            settings.entries = 2000;
        } else
            arguments.rejectOption();
    }
    return settings;
}

// ---- files ----

std::string fileSystemOf(const std::string& folder)
{
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0)
        return "unknown";
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53UL:
        return "ext2/3/4";
    case 0x58465342UL:
        return "xfs";
    case 0x9123683EUL:
        return "btrfs";
    case 0x01021994UL:
        return "tmpfs";
    case 0x794C7630UL:
        return "overlayfs";
    default: {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(info.f_type));
        return hex;
    }
    }
}

// ---- the scratch home ----

struct Home {
    std::string root;
    std::string work; // sources and take-out destinations, on the same disk as the vault
    std::string vault;
};

// Set before any Kist exists: the engine finds every folder through them.
Home makeHome(const std::string& root)
{
    Home home;
    home.root = root;
    const std::string user = home.root + "/home";
    useScratchHome(user, home.root + "/tmp");
    home.work = home.root + "/work";
    fs::create_directories(home.work);
    home.vault = user + "/.local/share/kist";
    return home;
}

std::unique_ptr<Kist> openVault()
{
    auto kist = std::make_unique<Kist>(true);
    if (kist->isEmptyPassword())
        kist->setPassword(kVaultPassword, "");
    else if (!kist->login(kVaultPassword))
        throw std::runtime_error("the bench vault does not open with its password");
    return kist;
}

// ---- scenarios ----

// Runs the scenario in a child of its own; the engine's errors carry their
// text in getMessage() and getCause() rather than what().
ChildResult runScenario(const std::string& name, const std::function<std::vector<double>()>& scenario)
{
    return runInChild(name, [&] {
        try {
            return scenario();
        } catch (const ExceptionModule& error) {
            throw std::runtime_error(error.getMessage() + " " + error.getCause());
        }
    });
}

struct Timed {
    double seconds = 0;
    double databaseShare = 0;
    double flushShare = 0;
    double peakMiB = 0;
    double cpuShare = 0; // user and kernel CPU time of the child over the call's time
};

// Opens the vault in a child of its own and times call there: the clock and
// the shares run for that one Kist call alone.
// Whether the vault's calls tag their bodies (set in each child).
bool tagBodies = true;

Timed timedInChild(const std::string& name, const std::function<void(Kist&)>& call)
{
    const ChildResult result = runScenario(name, [&] {
        Transforms::tagBodies = tagBodies;
        auto kist = openVault();
        callclock::reset();
        const double seconds = secondsOf([&] { call(*kist); });
        const callclock::Totals totals = callclock::totals();
        return std::vector<double> {seconds, totals.databaseSeconds, totals.flushSeconds};
    });
    const double seconds = result.values.at(0);
    return {seconds, result.values.at(1) / seconds, result.values.at(2) / seconds, result.peakMiB,
            (result.userSeconds + result.systemSeconds) / seconds};
}

Timed addInChild(const std::string& name, const std::string& path)
{
    KistFile added; // made before the clock starts; the child has its own copy
    return timedInChild(name, [&](Kist& kist) { kist.addFile(path, &added, false); });
}

Timed takeOutInChild(const std::string& name, const std::string& entry, const std::string& destination)
{
    return timedInChild(name, [&](Kist& kist) { kist.removeFile(entry, destination); });
}

struct LargeFileResult {
    Timed add;
    Timed takeOut;
    // With --tags both: the same without integrity tags, and what they cost
    // (pairedCost).
    Timed addUntagged;
    Timed takeOutUntagged;
    double addTagCost = 0;
    double takeOutTagCost = 0;
    double dd = 0;
    double opensslEncrypt = 0;
    double opensslDecrypt = 0;
    double deleteSeconds = 0; // the file system alone deleting a flushed file of that size
    double smallAddPeakMiB = 0;
    double smallTakeOutPeakMiB = 0;
};

// What the tags cost, from each run's time with them over its time without.
// The first round of a run meets the disk still busy with the run before it
// and came out up to 45% slower, whichever round it was. The runs alternate
// which goes first, so two runs in a row give one figure in which that
// cancels, the geometric mean of their ratios; the median is taken over
// these (an odd last run counts alone).
std::vector<double> pairedRatios(const std::vector<double>& ratios)
{
    std::vector<double> paired;
    for (std::size_t i = 0; i + 1 < ratios.size(); i += 2)
        paired.push_back(std::sqrt(ratios[i] * ratios[i + 1]));
    if (ratios.size() % 2 == 1)
        paired.push_back(ratios.back());
    return paired;
}

double pairedCost(const std::vector<double>& ratios)
{
    return median(pairedRatios(ratios));
}

// How far the pairs' figures spread, in percent: on a disk whose speed
// swings between runs, a cost of a few percent is only as sure as this.
std::string pairedSpread(const std::vector<double>& ratios)
{
    std::vector<double> paired = pairedRatios(ratios);
    if (paired.empty())
        return "no pairs";
    std::sort(paired.begin(), paired.end());
    const std::size_t n = paired.size();
    const auto percent = [](double ratio) { return (ratio - 1) * 100; };
    char text[128];
    std::snprintf(text, sizeof text, "%+.1f%% to %+.1f%% (middle half %+.1f%% to %+.1f%%)", percent(paired.front()),
                  percent(paired.back()), percent(paired[n / 4]), percent(paired[(3 * n - 1) / 4]));
    return text;
}

// The run of median time, with the shares and memory measured in it.
Timed medianRun(std::vector<Timed> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Timed& a, const Timed& b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

LargeFileResult benchLargeFile(const Home& home, std::uint64_t sizeMiB, int runs, bool bothWays)
{
    LargeFileResult result;
    const std::uint64_t size = sizeMiB * kMiB;
    const std::string folder = home.work + "/large";
    const std::string out = home.work + "/large-out";
    fs::create_directories(folder);
    const std::string plain = folder + "/large.bin";
    createPatternFile(plain, size);

    std::vector<double> dd, encrypt, decrypt, deletes, addCosts, takeOutCosts;
    std::vector<Timed> adds, takeOuts, untaggedAdds, untaggedTakeOuts;
    for (int run = 0; run < runs; ++run) {
        // The references first, on the same plain file, each output flushed
        // to the disk. Every step reads its input from the disk.
        const std::string copy = folder + "/large.copy";
        evictFromCache(plain);
        dd.push_back(secondsOf([&] {
            runProgram({"dd", "if=" + plain, "of=" + copy, "bs=1M", "conv=fsync", "status=none"});
        }));
        // Adding deletes the plain file once its encrypted copy is flushed;
        // dd's copy is such a file.
        settle(home.root);
        deletes.push_back(secondsOf([&] { fs::remove(copy); }));

        const std::string body = folder + "/large.openssl";
        const std::string decrypted = folder + "/large.openssl.plain";
        evictFromCache(plain);
        encrypt.push_back(secondsOf([&] {
            runProgram({"openssl", "enc", "-aes-128-cbc", "-bufsize", "1048576", "-K", kOpensslKey, "-iv", kZeroIv,
                        "-in", plain, "-out", body});
            flushFile(body);
        }));
        evictFromCache(body);
        decrypt.push_back(secondsOf([&] {
            runProgram({"openssl", "enc", "-d", "-aes-128-cbc", "-bufsize", "1048576", "-K", kOpensslKey, "-iv",
                        kZeroIv, "-in", body, "-out", decrypted});
            flushFile(decrypted);
        }));
        if (run == 0 && !sameContents(plain, decrypted))
            throw std::runtime_error("openssl did not give the plain file back");
        fs::remove(body);
        fs::remove(decrypted);

        // With both ways, the untagged round goes first in every other run,
        // so neither side always meets the disk still busy with the other.
        std::vector<bool> rounds{tagBodies};
        if (bothWays)
            rounds = run % 2 == 0 ? std::vector<bool>{true, false} : std::vector<bool>{false, true};
        for (const bool tagged : rounds) {
            tagBodies = tagged;
            if (bothWays)
                settle(home.root);
            evictFromCache(plain);
            const Timed add = addInChild(tagged ? "add large file" : "add large file, no tags", plain);
            if (fs::exists(plain))
                throw std::runtime_error("the added file is still where it was");
            fs::create_directories(out);
            if (bothWays)
                settle(home.root);
            evictFromCache(home.vault);
            const Timed takeOut = takeOutInChild(tagged ? "take out large file" : "take out large file, no tags",
                                                 "large.bin", out);
            if (!holdsPattern(out + "/large.bin", size))
                throw std::runtime_error("the large file came out changed");
            fs::rename(out + "/large.bin", plain);
            removeQuietly(out);
            (tagged || !bothWays ? adds : untaggedAdds).push_back(add);
            (tagged || !bothWays ? takeOuts : untaggedTakeOuts).push_back(takeOut);
        }
        tagBodies = rounds.size() == 1 ? rounds.front() : true;
        if (bothWays) {
            addCosts.push_back(adds.back().seconds / untaggedAdds.back().seconds);
            takeOutCosts.push_back(takeOuts.back().seconds / untaggedTakeOuts.back().seconds);
            // Each pair on its own line: the disk's speed drifts between runs
            // by more than the target, so the spread belongs with the median.
            const auto cpu = [](const Timed& t) { return t.seconds * t.cpuShare; };
            std::fprintf(stderr,
                         "  run %d (%s first): add %.2f s (cpu %.2f s) with tags, %.2f s (cpu %.2f s) without; "
                         "take out %.2f s (cpu %.2f s) with, %.2f s (cpu %.2f s) without\n",
                         run + 1, rounds.front() ? "tagged" : "untagged", adds.back().seconds, cpu(adds.back()),
                         untaggedAdds.back().seconds, cpu(untaggedAdds.back()), takeOuts.back().seconds,
                         cpu(takeOuts.back()), untaggedTakeOuts.back().seconds, cpu(untaggedTakeOuts.back()));
        }
    }
    if (bothWays) {
        result.addUntagged = medianRun(untaggedAdds);
        result.takeOutUntagged = medianRun(untaggedTakeOuts);
        result.addTagCost = pairedCost(addCosts);
        result.takeOutTagCost = pairedCost(takeOutCosts);
        std::fprintf(stderr, "  median of the single runs' ratios: add %+.1f%%, take out %+.1f%%\n",
                     (median(addCosts) - 1) * 100, (median(takeOutCosts) - 1) * 100);
        std::fprintf(stderr, "  pairs' costs: add %s; take out %s\n", pairedSpread(addCosts).c_str(),
                     pairedSpread(takeOutCosts).c_str());
    }
    result.dd = median(dd);
    result.deleteSeconds = median(deletes);
    result.opensslEncrypt = median(encrypt);
    result.opensslDecrypt = median(decrypt);
    result.add = medianRun(adds);
    result.takeOut = medianRun(takeOuts);

    // The same with 1 MiB, for the memory a large file adds.
    fs::create_directories(out);
    createPatternFile(folder + "/small.bin", kMiB, 7);
    result.smallAddPeakMiB = addInChild("add 1 MiB file", folder + "/small.bin").peakMiB;
    result.smallTakeOutPeakMiB = takeOutInChild("take out 1 MiB file", "small.bin", out).peakMiB;
    if (!holdsPattern(out + "/small.bin", kMiB, 7))
        throw std::runtime_error("the 1 MiB file came out changed");
    removeQuietly(out);
    removeQuietly(folder);
    return result;
}

// count files of fileSize bytes spread over 100 sub-folders of root; file i
// holds the pattern of seed i.
std::string smallFilePath(const std::string& root, int i)
{
    return root + "/d" + std::to_string(i % kSubFolders) + "/f" + std::to_string(i) + ".txt";
}

void createSmallFiles(const std::string& root, int count, std::size_t fileSize)
{
    for (int i = 0; i < count; ++i) {
        if (i < kSubFolders)
            fs::create_directories(root + "/d" + std::to_string(i));
        createPatternFile(smallFilePath(root, i), fileSize, static_cast<unsigned>(i));
    }
}

bool smallFilesCameBack(const std::string& root, int count)
{
    for (int i = 0; i < count; ++i)
        if (!holdsPattern(smallFilePath(root, i), kSmallFileSize, static_cast<unsigned>(i)))
            return false;
    return true;
}

struct ManyFilesResult {
    Timed add;
    Timed takeOut;
    double deletesPerSecond = 0; // the file system alone deleting as many flushed files
};

ManyFilesResult benchManyFiles(const Home& home, int files)
{
    ManyFilesResult result;
    // Adding deletes each plain file once its encrypted copy is flushed, and
    // taking out deletes each body: what that alone costs on this disk.
    const std::string reference = home.work + "/deletes";
    createSmallFiles(reference, files, kSmallFileSize);
    settle(home.root);
    const double deleting = secondsOf([&] {
        for (int i = 0; i < files; ++i) {
            const std::string path = smallFilePath(reference, i);
            if (::unlink(path.c_str()) != 0)
                throw std::runtime_error("cannot delete " + path + ": " + std::strerror(errno));
        }
    });
    result.deletesPerSecond = files / deleting;
    removeQuietly(reference);

    const std::string folder = home.work + "/many";
    const std::string out = home.work + "/many-out";
    createSmallFiles(folder, files, kSmallFileSize);
    fs::create_directories(out);
    settle(home.root);
    result.add = addInChild("add many files", folder);
    settle(home.root);
    result.takeOut = takeOutInChild("take out many files", "many", out);
    if (!smallFilesCameBack(out + "/many", files))
        throw std::runtime_error("the small files came out changed");
    removeQuietly(out);
    return result;
}

struct OpenResult {
    long rows = 0;
    long listed = 0;
    double addSeconds = 0;
    double constructSeconds = 0;
    double constructDatabaseShare = 0;
    double listSeconds = 0;
    double vacuumSeconds = 0;
    double databaseMiB = 0;
    double peakMiB = 0;
};

OpenResult benchOpening(const Home& home, int entries)
{
    OpenResult result;
    // Top-level folders of 1001 records each: the folder, 10 sub-folders and
    // 99 empty files in each of them.
    constexpr int kRecordsPerTop = 1001;
    const int tops = std::max(1, (entries + kRecordsPerTop - 1) / kRecordsPerTop);
    const std::string folder = home.work + "/entries";
    for (int top = 0; top < tops; ++top)
        for (int sub = 0; sub < 10; ++sub) {
            const std::string path = folder + "/top" + std::to_string(top) + "/sub" + std::to_string(sub);
            fs::create_directories(path);
            for (int file = 0; file < 99; ++file)
                Descriptor(path + "/e" + std::to_string(file), O_WRONLY | O_CREAT | O_TRUNC);
        }
    settle(home.root);
    result.addSeconds = runScenario("fill the vault", [&] {
        auto kist = openVault();
        KistFile added;
        const double seconds = secondsOf([&] {
            for (int top = 0; top < tops; ++top)
                kist->addFile(folder + "/top" + std::to_string(top), &added, false);
        });
        return std::vector<double> {seconds};
    }).values.at(0);

    settle(home.root);
    const ChildResult opened = runScenario("open and list", [&] {
        callclock::reset();
        std::unique_ptr<Kist> kist;
        const double construct = secondsOf([&] { kist = std::make_unique<Kist>(true); });
        const double database = callclock::totals().databaseSeconds;
        if (!kist->login(kVaultPassword))
            throw std::runtime_error("the bench vault does not open with its password");
        std::vector<KistFile*> files;
        const double list = secondsOf([&] { kist->listFiles(files); });
        const double listed = static_cast<double>(files.size());
        for (KistFile* file : files)
            delete file;
        return std::vector<double> {construct, database, list, listed};
    });
    result.constructSeconds = opened.values.at(0);
    result.constructDatabaseShare = opened.values.at(1) / result.constructSeconds;
    result.listSeconds = opened.values.at(2);
    result.listed = std::lround(opened.values.at(3));
    result.peakMiB = opened.peakMiB;

    // "VACUUM;" alone, on a connection keyed and warmed by a first read.
    const std::string databasePath = home.vault + "/" + kDatabaseName;
    settle(home.root);
    const ChildResult vacuum = runScenario("vacuum", [&] {
        Database database(databasePath);
        Query query(database);
        if (!query.get_result("select count(*) as records from ProtectedFiles") || !query.fetch_row())
            throw std::runtime_error("cannot read the vault database: " + query.lastError());
        const double rows = static_cast<double>(query.getbigint("records"));
        query.free_result();
        const double seconds = secondsOf([&] {
            if (!query.execute("VACUUM;"))
                throw std::runtime_error("VACUUM failed: " + query.lastError());
        });
        return std::vector<double> {seconds, rows};
    });
    result.vacuumSeconds = vacuum.values.at(0);
    result.rows = std::lround(vacuum.values.at(1));
    result.databaseMiB = static_cast<double>(fs::file_size(databasePath)) / static_cast<double>(kMiB);
    return result;
}

// ---- report ----

std::string percent(double share)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", share * 100);
    return text;
}

int benchmark(const Settings& settings)
{
    const ScratchFolder scratch(settings.folder, "bench_vault.",
                                settings.keep ? ScratchFolder::AtEnd::keep : ScratchFolder::AtEnd::remove);
    const Home home = makeHome(scratch.path());
    std::printf("bench_vault: scratch home %s (%s)\n", home.root.c_str(), fileSystemOf(home.root).c_str());
    std::printf("  %llu MiB file, %d files of 1 KiB in %d folders, a vault of about %d entries\n\n",
                static_cast<unsigned long long>(settings.sizeMiB), settings.files, kSubFolders, settings.entries);
    std::fflush(stdout);
    bool allMet = true;
    runScenario("create the vault", [] {
        openVault();
        return std::vector<double> {};
    });

    tagBodies = settings.tags != Settings::Tags::Off;
    const bool bothWays = settings.tags == Settings::Tags::Both;
    std::printf("  integrity tags: %s\n\n", bothWays ? "with and without" : tagBodies ? "on" : "off");
    const LargeFileResult large = benchLargeFile(home, settings.sizeMiB, settings.runs, bothWays);
    const double mib = static_cast<double>(settings.sizeMiB);
    const double addRatio = large.dd / large.add.seconds;
    const double takeOutRatio = large.dd / large.takeOut.seconds;
    const double addGrowth = large.add.peakMiB - large.smallAddPeakMiB;
    const double takeOutGrowth = large.takeOut.peakMiB - large.smallTakeOutPeakMiB;
    std::printf("large file, median of %d run%s\n", settings.runs, settings.runs == 1 ? "" : "s");
    std::printf("%-28s %12s %8s %12s %8s %6s %6s %6s  %s\n", "", "vault", "vs dd", "openssl", "vs ossl", "cpu",
                "db", "flush", "target");
    std::printf("%-28s %7.1f MiB/s %8.3f %7.1f MiB/s %8.3f %6s %6s %6s  vs dd >= %.2f: %s\n", "  add (encrypt)",
                mib / large.add.seconds, addRatio, mib / large.opensslEncrypt,
                large.opensslEncrypt / large.add.seconds, percent(large.add.cpuShare).c_str(),
                percent(large.add.databaseShare).c_str(), percent(large.add.flushShare).c_str(), kThroughputTarget,
                verdict(addRatio >= kThroughputTarget));
    std::printf("%-28s %7.1f MiB/s %8.3f %7.1f MiB/s %8.3f %6s %6s %6s  vs dd >= %.2f: %s\n",
                "  take out (decrypt)", mib / large.takeOut.seconds, takeOutRatio, mib / large.opensslDecrypt,
                large.opensslDecrypt / large.takeOut.seconds, percent(large.takeOut.cpuShare).c_str(),
                percent(large.takeOut.databaseShare).c_str(), percent(large.takeOut.flushShare).c_str(),
                kThroughputTarget, verdict(takeOutRatio >= kThroughputTarget));
    std::printf("%-28s %7.1f MiB/s  (dd if=FILE of=COPY bs=1M conv=fsync: the disk's flushed sequential write)\n",
                "  reference: dd", mib / large.dd);
    std::printf("%-28s %7.2f s of the add's %.2f s (the file system alone deleting dd's flushed copy)\n",
                "  reference: delete", large.deleteSeconds, large.add.seconds);
    const bool addMemoryMet = addGrowth < kMemoryGrowthTargetMiB && large.add.peakMiB < kPeakMemoryTargetMiB;
    const bool takeOutMemoryMet =
        takeOutGrowth < kMemoryGrowthTargetMiB && large.takeOut.peakMiB < kPeakMemoryTargetMiB;
    std::printf("%-28s %7.1f MiB  (1 MiB file: %.1f MiB)  < %.0f MiB, growth < %.0f MiB: %s\n", "  peak memory, add",
                large.add.peakMiB, large.smallAddPeakMiB, kPeakMemoryTargetMiB, kMemoryGrowthTargetMiB,
                verdict(addMemoryMet));
    std::printf("%-28s %7.1f MiB  (1 MiB file: %.1f MiB)  < %.0f MiB, growth < %.0f MiB: %s\n\n",
                "  peak memory, take out", large.takeOut.peakMiB, large.smallTakeOutPeakMiB, kPeakMemoryTargetMiB,
                kMemoryGrowthTargetMiB, verdict(takeOutMemoryMet));
    allMet = allMet && addRatio >= kThroughputTarget && takeOutRatio >= kThroughputTarget && addMemoryMet
             && takeOutMemoryMet;
    if (bothWays) {
        std::printf("%-28s %12s %12s %8s  %s\n", "integrity tags", "with", "without", "cost", "target");
        std::printf("%-28s %10.2f s %10.2f s %7.1f%%  <= %.0f%%: %s\n", "  add (encrypt)", large.add.seconds,
                    large.addUntagged.seconds, (large.addTagCost - 1) * 100, (kTagCostTarget - 1) * 100,
                    verdict(large.addTagCost <= kTagCostTarget));
        std::printf("%-28s %10.2f s %10.2f s %7.1f%%  <= %.0f%%: %s\n\n", "  take out (decrypt)",
                    large.takeOut.seconds, large.takeOutUntagged.seconds, (large.takeOutTagCost - 1) * 100,
                    (kTagCostTarget - 1) * 100, verdict(large.takeOutTagCost <= kTagCostTarget));
        allMet = allMet && large.addTagCost <= kTagCostTarget && large.takeOutTagCost <= kTagCostTarget;
    }
    std::fflush(stdout);
    if (settings.largeOnly)
        return allMet ? 0 : 2;

    const ManyFilesResult many = benchManyFiles(home, settings.files);
    const double addRate = settings.files / many.add.seconds;
    const double takeOutRate = settings.files / many.takeOut.seconds;
    std::printf("%-28s %12s %12s %8s %6s %6s %6s  %s\n", "many small files", "files/s", "seconds", "peak MiB",
                "cpu", "db", "flush", "target");
    std::printf("%-28s %12.0f %12.2f %8.1f %6s %6s %6s  >= %.0f files/s: %s\n", "  add folder", addRate,
                many.add.seconds, many.add.peakMiB, percent(many.add.cpuShare).c_str(),
                percent(many.add.databaseShare).c_str(), percent(many.add.flushShare).c_str(),
                kFilesPerSecondTarget, verdict(addRate >= kFilesPerSecondTarget));
    std::printf("%-28s %12.0f %12.2f %8.1f %6s %6s %6s  >= %.0f files/s: %s\n", "  take out folder", takeOutRate,
                many.takeOut.seconds, many.takeOut.peakMiB, percent(many.takeOut.cpuShare).c_str(),
                percent(many.takeOut.databaseShare).c_str(), percent(many.takeOut.flushShare).c_str(),
                kFilesPerSecondTarget, verdict(takeOutRate >= kFilesPerSecondTarget));
    std::printf("%-28s %12.0f  (the file system alone deleting as many flushed 1 KiB files)\n\n",
                "  reference: deletes", many.deletesPerSecond);
    allMet = allMet && addRate >= kFilesPerSecondTarget && takeOutRate >= kFilesPerSecondTarget;
    std::fflush(stdout);

    const OpenResult opening = benchOpening(home, settings.entries);
    std::printf("%-28s %ld records (%ld top-level), database %.1f MiB, filled in %.2f s\n", "opening a full vault",
                opening.rows, opening.listed, opening.databaseMiB, opening.addSeconds);
    std::printf("%-28s %.3f s (db %s), listing %.3f s, peak %.1f MiB\n", "  construct Kist(true)",
                opening.constructSeconds, percent(opening.constructDatabaseShare).c_str(), opening.listSeconds,
                opening.peakMiB);
    std::printf("%-28s %.3f s\n\n", "  \"VACUUM;\" alone", opening.vacuumSeconds);

    std::printf("How it was measured: every scenario runs in a child process of its own (peak memory is its\n"
                "ru_maxrss); the clock runs around the one Kist call. Each large-file step starts with its\n"
                "input evicted from the page cache (posix_fadvise DONTNEED after a sync), so it reads the\n"
                "disk, dd and openssl included. \"cpu\" is the child's user and kernel CPU time over that\n"
                "time. \"db\" is the share of that time spent inside SQLCipher's calls (open, key, prepare,\n"
                "step, finalize, close, its own journal syncs included) and \"flush\" the share inside\n"
                "syncfs/fsync/fdatasync outside them: this program wraps those functions and passes each\n"
                "call on to the library (dlsym RTLD_NEXT). openssl's time includes an fdatasync of its\n"
                "output; the vault's includes the engine's own flushes. With --tags both, the tag cost is\n"
                "the median over pairs of runs (one with tags first, one without) of the geometric mean of\n"
                "their two ratios of the time with tags over the time without.\n");
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    return runReportingFailure("bench_vault", [&] { return benchmark(settings); });
}
