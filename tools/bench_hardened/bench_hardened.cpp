// bench_hardened: the hardened vault against the standard one, through Kist,
// each in a scratch home of its own:
//   - adding a large file and taking it out (each step reads its input from
//     the disk; the median of --runs): the hardened vault at no less than
//     0.9x the standard one's speed;
//   - unlocking the hardened vault (a new Kist and its login, Argon2id
//     included): between 0.3 and 1 s;
//   - hardening a vault that holds the large file: no slower than taking it
//     out of the standard vault and adding it again.
//
//   bench_hardened [--size-mib N] [--runs N] [--dir D] [--quick]
//
// Defaults: 1024 MiB, 3 runs, $TMPDIR (else /var/tmp). --quick is
// --size-mib 64 --runs 1. Exit status 0 when every target is met, 2 when one
// is missed, 1 when something failed.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/ExceptionModule.h"
#include "engine/Kist.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/Median.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/ScratchHome.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"

namespace {

namespace fs = std::filesystem;

constexpr char kPassword[] = "bench hardened password";
constexpr double kSpeedTarget = 0.9;
constexpr double kUnlockLeast = 0.3;
constexpr double kUnlockMost = 1.0;

struct Options {
    std::uint64_t sizeMiB = 1024;
    int runs = 3;
    std::string parent = defaultScratchParent();
};

struct Times {
    std::vector<double> add;
    std::vector<double> takeOut;
};

void require(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error(what);
}

// A vault of its own below root, standard or hardened, with no entries.
std::string makeVault(const std::string& root, const std::string& name, bool hardened)
{
    const std::string home = root + "/" + name;
    fs::create_directories(home + "/tmp");
    useScratchHome(home, home + "/tmp");
    Kist vault(true);
    vault.setPassword(kPassword, "");
    if (hardened)
        (void)vault.harden(kPassword);
    return home;
}

// Adds the large file and takes it out again, runs times.
Times addAndTakeOut(const std::string& home, const Options& options)
{
    useScratchHome(home, home + "/tmp");
    const std::uint64_t size = options.sizeMiB * kMiB;
    const std::string input = home + "/in/large.bin";
    const std::string out = home + "/out";
    Times times;
    for (int run = 0; run < options.runs; ++run) {
        fs::create_directories(home + "/in");
        createPatternFile(input, size);
        evictFromCache(home);
        Kist vault(true);
        require(vault.login(kPassword), "cannot unlock the vault");
        KistFile added;
        times.add.push_back(secondsOf([&] { vault.addFile(input, &added, false); }));
        evictFromCache(home);
        fs::create_directories(out);
        times.takeOut.push_back(secondsOf([&] { vault.removeFile("large.bin", out); }));
        require(holdsPattern(out + "/large.bin", size), "the file came out changed");
        removeQuietly(out);
        settle(home);
    }
    return times;
}

double unlockSeconds(const std::string& home, int runs)
{
    useScratchHome(home, home + "/tmp");
    std::vector<double> times;
    for (int run = 0; run < runs; ++run)
        times.push_back(secondsOf([&] {
            Kist vault(true);
            require(vault.login(kPassword), "cannot unlock the vault");
        }));
    return median(times);
}

double hardeningSeconds(const std::string& root, const Options& options)
{
    std::vector<double> times;
    for (int run = 0; run < options.runs; ++run) {
        const std::string home = makeVault(root, "to-harden-" + std::to_string(run), false);
        const std::string input = home + "/in/large.bin";
        fs::create_directories(home + "/in");
        createPatternFile(input, options.sizeMiB * kMiB);
        Kist vault(true);
        require(vault.login(kPassword), "cannot unlock the vault");
        KistFile added;
        vault.addFile(input, &added, false);
        evictFromCache(home);
        times.push_back(secondsOf([&] { (void)vault.harden(kPassword); }));
        removeQuietly(home);
    }
    return median(times);
}

int benchmark(const Options& options)
{
    ScratchFolder scratch(options.parent, "bench-hardened");
    const std::string standard = makeVault(scratch.path(), "standard", false);
    const std::string hardened = makeVault(scratch.path(), "hardened", true);
    const double mib = static_cast<double>(options.sizeMiB);
    std::printf("bench_hardened: %llu MiB, %d run(s), in %s\n", static_cast<unsigned long long>(options.sizeMiB),
                options.runs, scratch.path().c_str());

    const Times standardTimes = addAndTakeOut(standard, options);
    const Times hardenedTimes = addAndTakeOut(hardened, options);
    bool met = true;
    const auto compare = [&](const char* step, double standardSeconds, double hardenedSeconds) {
        const double ratio = standardSeconds / hardenedSeconds;
        const bool ok = ratio >= kSpeedTarget;
        met = met && ok;
        std::printf("%-9s standard %7.3f s (%6.0f MiB/s)  hardened %7.3f s (%6.0f MiB/s)  %.2fx  target >= %.1fx: %s\n",
                    step, standardSeconds, mib / standardSeconds, hardenedSeconds, mib / hardenedSeconds, ratio,
                    kSpeedTarget, verdict(ok));
    };
    compare("add", median(standardTimes.add), median(hardenedTimes.add));
    compare("take-out", median(standardTimes.takeOut), median(hardenedTimes.takeOut));

    const double unlock = unlockSeconds(hardened, std::max(options.runs, 3));
    const bool unlockMet = unlock >= kUnlockLeast && unlock <= kUnlockMost;
    met = met && unlockMet;
    std::printf("unlock    %.3f s  target %.1f..%.1f s: %s\n", unlock, kUnlockLeast, kUnlockMost, verdict(unlockMet));

    const double harden = hardeningSeconds(scratch.path(), options);
    const double again = median(standardTimes.takeOut) + median(standardTimes.add);
    const bool hardenMet = harden <= again;
    met = met && hardenMet;
    std::printf("harden    %.3f s  (take-out + add in the standard vault: %.3f s)  target <=: %s\n", harden, again,
                verdict(hardenMet));
    return met ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    BenchArguments arguments("bench_hardened", "bench_hardened [--size-mib N] [--runs N] [--dir D] [--quick]",
                             "Measures the hardened vault against the standard one: adding and taking out a large "
                             "file, unlocking, hardening.",
                             argc, argv);
    while (arguments.next()) {
        if (arguments.option() == "--size-mib")
            options.sizeMiB = arguments.positiveNumber(1 << 20);
        else if (arguments.option() == "--runs")
            options.runs = static_cast<int>(arguments.positiveNumber(100));
        else if (arguments.option() == "--dir")
            options.parent = arguments.value();
        else if (arguments.option() == "--quick") {
            options.sizeMiB = 64;
            options.runs = 1;
        } else
            arguments.rejectOption();
    }
    return runReportingFailure("bench_hardened", [&] { return benchmark(options); });
}
