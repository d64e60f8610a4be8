// bench_adds: measures adding many separate small files to the user vault, as
// `kist add a b c ...` and a drop of many files on the window do (one
// Kist::addFiles call, each path a top-level entry of its own):
//   - 100 files of 100 bytes into an empty vault and into one of 20,000
//     top-level entries (the cost of an add must not grow with the vault);
//   - 1,000 such files into an empty vault (files a second);
//   - opening the full vault and listing it, as `kist list` (process start,
//     open, list: time and peak memory);
//   - the vault lock's refresh after another program (`kist add`) added 100
//     entries, in the full vault, against reading every row (it must cost
//     what changed, not what the vault holds), beside the same in a vault a
//     twentieth the size.
// Each measurement runs --runs times (default 5), in child processes of
// their own; the median is reported and judged.
//
//   bench_adds [--runs N] [--entries N] [--dir D] [--keep] [--quick]
//
// --quick is --runs 3 --entries 2000. Exit status 0 when every target is
// met, 2 when one is missed, 1 when something failed.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/Kist.h"
#include "engine/VaultEngine.h"
#include "engine/VaultLock.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildRun.h"
#include "tools/bench_common/Median.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"

namespace {

namespace fs = std::filesystem;

constexpr char kVaultPassword[] = "bench adds password";
constexpr std::size_t kFileSize = 100;
constexpr int kFewFiles = 100;
constexpr int kManyFiles = 1000;
constexpr int kFillPerCall = 5000;

constexpr double kGrowthTarget = 1.2;       // full vault against empty, adding 100
constexpr double kFilesPerSecondTarget = 500;
constexpr double kListSecondsTarget = 0.5;
constexpr double kListMiBTarget = 64;
// The refresh after another program's 100 adds in the full vault, against
// reading every row of it (what the refresh did before): a cost that
// followed the vault's size would be all of it.
constexpr double kRefreshShareTarget = 0.1;

struct Settings {
    int runs = 5;
    int entries = 20000;
    std::string folder = defaultScratchParent();
    bool keep = false;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_adds", "bench_adds [--runs N] [--entries N] [--dir D] [--keep] [--quick]",
                             "measures adding many separate small files and refreshing what another program added",
                             argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--runs")
            settings.runs = static_cast<int>(arguments.positiveNumber(1000));
        else if (option == "--entries")
            settings.entries = static_cast<int>(arguments.positiveNumber());
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else if (option == "--quick") {
            settings.runs = 3;
            settings.entries = 2000;
        } else
            arguments.rejectOption();
    }
    return settings;
}

// The kist tool built beside this benchmark.
std::string kistProgram()
{
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path kist = self.parent_path().parent_path() / "kist" / "kist";
    if (!fs::exists(kist))
        throw std::runtime_error("kist is not built: " + kist.string());
    return kist.string();
}

// ---- homes: each a user of its own, with a vault and a folder of sources ----

struct Home {
    std::string root;
    std::string sources;
};

Home makeHome(const std::string& root)
{
    Home home {root, root + "/work"};
    fs::create_directories(home.sources);
    return home;
}

// Points this process at home: only in a child, before any Kist exists.
void enter(const Home& home)
{
    useScratchHome(home.root + "/home", home.root + "/tmp");
}

std::vector<std::string> createFiles(const std::string& folder, int count)
{
    fs::create_directories(folder);
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        paths.push_back(folder + "/f" + std::to_string(i) + ".dat");
        createPatternFile(paths.back(), kFileSize, static_cast<unsigned>(i));
    }
    return paths;
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

std::vector<double> throwing(const std::function<std::vector<double>()>& scenario)
{
    try {
        return scenario();
    } catch (const ExceptionModule& error) {
        throw std::runtime_error(error.getMessage() + " " + error.getCause());
    }
}

ChildResult inHome(const Home& home, const std::string& name, const std::function<std::vector<double>()>& scenario)
{
    return runInChild(name, [&] {
        enter(home);
        return throwing(scenario);
    });
}

void addAll(Kist& kist, const std::vector<std::string>& paths)
{
    std::string failure;
    kist.addFiles(paths, [&](const KistAddOutcome& outcome) {
        if (outcome.state != KistAddOutcome::State::Added && failure.empty())
            failure = outcome.path + ": " + outcome.message;
    });
    if (!failure.empty())
        throw std::runtime_error("not added: " + failure);
}

// Seconds of the one addFiles call, in a child whose vault is already open.
double timedAdd(const Home& home, const std::vector<std::string>& paths)
{
    settle(home.root);
    return inHome(home, "add", [&] {
        auto kist = openVault();
        return std::vector<double> {secondsOf([&] { addAll(*kist, paths); })};
    }).values.at(0);
}

// ---- whole kist commands ----

struct Command {
    double seconds = 0;
    double peakMiB = 0;
};

// Runs kist with the home's environment; wall time and the child's own peak
// memory (wait4 reports exactly that child's usage).
Command runKist(const Home& home, const std::vector<std::string>& arguments)
{
    const std::string program = kistProgram();
    const std::string outputFile = home.root + "/kist-output"; // what it prints is not needed
    std::fflush(nullptr);
    Command command;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        enter(home);
        ::setenv("KIST_PASSWORD", kVaultPassword, 1);
        if (std::freopen(outputFile.c_str(), "w", stdout) == nullptr)
            ::_exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(child, &status, 0, &usage) != child)
        throw std::runtime_error(std::string("wait4 failed: ") + std::strerror(errno));
    command.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    command.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("kist " + (arguments.empty() ? std::string() : arguments.front())
                                 + " failed with status " + std::to_string(status));
    return command;
}

double kistAdd(const Home& home, const std::vector<std::string>& paths)
{
    std::vector<std::string> arguments {"add"};
    arguments.insert(arguments.end(), paths.begin(), paths.end());
    settle(home.root);
    return runKist(home, arguments).seconds;
}

// A home whose vault holds `entries` top-level entries, added through the
// engine in calls of 5,000 paths.
double fill(const Home& home, int entries)
{
    double seconds = 0;
    for (int done = 0, part = 0; done < entries; done += kFillPerCall, ++part) {
        const int count = std::min(kFillPerCall, entries - done);
        const auto paths = createFiles(home.sources + "/fill" + std::to_string(part), count);
        seconds += timedAdd(home, paths);
    }
    return seconds;
}

// The vault lock's refresh in a program that holds the vault's entries,
// after `kist add` of 100 files by another program.
double refreshAfterAnotherProgram(const Home& home, const std::string& tag)
{
    const auto paths = createFiles(home.sources + "/" + tag, kFewFiles);
    return inHome(home, "refresh", [&] {
        VaultEngine engine(EngineKind::UserVault);
        if (!engine.login(kVaultPassword))
            throw std::runtime_error("the bench vault does not open with its password");
        {
            VaultLock warm(engine);
            (void)engine.entries();
        }
        const std::size_t before = engine.entries().size();
        kistAdd(home, paths);
        const double seconds = secondsOf([&] { VaultLock lock(engine); });
        if (engine.entries().size() != before + static_cast<std::size_t>(kFewFiles))
            throw std::runtime_error("the refresh did not see the other program's entries");
        return std::vector<double> {seconds};
    }).values.at(0);
}

std::string milliseconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    return text;
}

int benchmark(const Settings& settings)
{
    const ScratchFolder scratch(settings.folder, "bench_adds.",
                                settings.keep ? ScratchFolder::AtEnd::keep : ScratchFolder::AtEnd::remove);
    std::printf("bench_adds: scratch %s, %d runs each (median), files of %zu bytes, a full vault of %d entries\n\n",
                scratch.path().c_str(), settings.runs, kFileSize, settings.entries);
    std::fflush(stdout);

    // The full vault, filled once; each run below adds 100 more to it.
    const Home full = makeHome(scratch.path() + "/full");
    inHome(full, "create the vault", [] {
        openVault();
        return std::vector<double> {};
    });
    const double fillSeconds = fill(full, settings.entries);
    std::printf("filled the full vault: %d entries in %.1f s (%.0f files/s, calls of %d paths)\n",
                settings.entries, fillSeconds, settings.entries / fillSeconds, kFillPerCall);
    // A vault a twentieth that size, for the refresh.
    const int smallEntries = std::max(100, settings.entries / 20);
    const Home small = makeHome(scratch.path() + "/small");
    inHome(small, "create the vault", [] {
        openVault();
        return std::vector<double> {};
    });
    fill(small, smallEntries);
    // What reading every row costs in the full vault (an opening and a first listing).
    settle(full.root);
    const double fullReading = inHome(full, "open", [] {
        return std::vector<double> {secondsOf([] {
            VaultEngine opened(EngineKind::UserVault);
            (void)opened.entries();
        })};
    }).values.at(0);
    std::printf("a vault of %d entries for the refresh; opening the full vault and reading every row: %.3f s\n\n",
                smallEntries, fullReading);
    std::fflush(stdout);

    std::vector<double> emptyCall, fullCall, emptyCommand, fullCommand, manyCall, manyCommand;
    std::vector<double> listSeconds, listMiB, refreshFull, refreshSmall;
    for (int run = 0; run < settings.runs; ++run) {
        const std::string tag = "run" + std::to_string(run);
        // Into an empty vault: a fresh home each time.
        const Home empty = makeHome(scratch.path() + "/empty-" + tag);
        emptyCall.push_back(timedAdd(empty, createFiles(empty.sources + "/call", kFewFiles)));
        const Home emptyForCommand = makeHome(scratch.path() + "/empty-command-" + tag);
        emptyCommand.push_back(kistAdd(emptyForCommand, createFiles(emptyForCommand.sources + "/cmd", kFewFiles)));
        // Into the full vault.
        fullCall.push_back(timedAdd(full, createFiles(full.sources + "/call-" + tag, kFewFiles)));
        fullCommand.push_back(kistAdd(full, createFiles(full.sources + "/cmd-" + tag, kFewFiles)));
        // 1,000 into an empty vault.
        const Home many = makeHome(scratch.path() + "/many-" + tag);
        manyCall.push_back(kManyFiles / timedAdd(many, createFiles(many.sources + "/call", kManyFiles)));
        const Home manyForCommand = makeHome(scratch.path() + "/many-command-" + tag);
        manyCommand.push_back(kManyFiles / kistAdd(manyForCommand, createFiles(manyForCommand.sources + "/cmd",
                                                                                 kManyFiles)));
        // kist list on the full vault.
        settle(full.root);
        const Command listed = runKist(full, {"list"});
        listSeconds.push_back(listed.seconds);
        listMiB.push_back(listed.peakMiB);
        // The refresh after another program's 100 adds.
        refreshFull.push_back(refreshAfterAnotherProgram(full, "other-" + tag));
        refreshSmall.push_back(refreshAfterAnotherProgram(small, "other-" + tag));
        removeQuietly(empty.root);
        removeQuietly(emptyForCommand.root);
        removeQuietly(many.root);
        removeQuietly(manyForCommand.root);
        std::printf("  run %d done\n", run + 1);
        std::fflush(stdout);
    }

    bool allMet = true;
    const auto judge = [&](bool met) {
        allMet = allMet && met;
        return verdict(met);
    };
    std::printf("\n%-52s %10s %10s %8s  %s\n", "adding 100 separate files", "empty", "full", "ratio", "target");
    const double callRatio = median(fullCall) / median(emptyCall);
    std::printf("%-52s %8.3f s %8.3f s %8.2f  <= %.1f: %s\n", "  one addFiles call (open excluded)",
                median(emptyCall), median(fullCall), callRatio, kGrowthTarget, judge(callRatio <= kGrowthTarget));
    const double commandRatio = median(fullCommand) / median(emptyCommand);
    std::printf("%-52s %8.3f s %8.3f s %8.2f  <= %.1f: %s\n", "  kist add a b c ... (start and opening included)",
                median(emptyCommand), median(fullCommand), commandRatio, kGrowthTarget,
                judge(commandRatio <= kGrowthTarget));

    std::printf("\n%-52s %10s  %s\n", "adding 1,000 separate files into an empty vault", "files/s", "target");
    std::printf("%-52s %10.0f  >= %.0f: %s\n", "  one addFiles call", median(manyCall), kFilesPerSecondTarget,
                judge(median(manyCall) >= kFilesPerSecondTarget));
    std::printf("%-52s %10.0f  >= %.0f: %s\n", "  kist add a b c ... (process start and opening included)",
                median(manyCommand), kFilesPerSecondTarget, judge(median(manyCommand) >= kFilesPerSecondTarget));

    std::printf("\n%-52s %8.3f s  < %.1f s: %s\n", "kist list on the full vault (start, open, list)",
                median(listSeconds), kListSecondsTarget, judge(median(listSeconds) < kListSecondsTarget));
    std::printf("%-52s %8.1f MiB  < %.0f MiB: %s\n", "  its peak memory", median(listMiB), kListMiBTarget,
                judge(median(listMiB) < kListMiBTarget));

    const double refreshShare = median(refreshFull) / fullReading;
    std::printf("\n%-52s %10s %10s %8s  %s\n", "refresh after another program added 100 entries", "1/20 size", "full",
                "share", "target");
    std::printf("%-52s %10s %10s %7.1f%%  <= %.0f%% of reading every row: %s\n", "  taking the vault lock",
                milliseconds(median(refreshSmall)).c_str(), milliseconds(median(refreshFull)).c_str(),
                refreshShare * 100, kRefreshShareTarget * 100, judge(refreshShare <= kRefreshShareTarget));
    std::printf("%-52s %10s %10s\n", "  reading every row instead (a first listing)", "", milliseconds(fullReading).c_str());
    std::printf("  (the first read after another program's write also empties SQLite's page cache, at most 2 MB:\n"
                "  that part grows with the vault only up to the size of the cache)\n");

    std::printf("\nHow it was measured: every measurement runs in a child process of its own, each run into a\n"
                "fresh empty vault and into the full one (which grows by 300 entries a run). \"one addFiles call\"\n"
                "times the engine call alone in a program that has opened the vault; \"kist add\" and \"kist list\"\n"
                "time the whole command (process start, opening, the work). The refresh is the taking of the vault\n"
                "lock in a program that holds the entries, right after `kist add` of 100 files by another process.\n"
                "Other programs running on the machine (a compiler) make every figure noisy: compare medians.\n");
    return allMet ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    return runReportingFailure("bench_adds", [&] { return benchmark(settings); });
}
