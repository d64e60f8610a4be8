// bench_crypto: measures file-body encryption and decryption through
// CryptoContext::transformFile against `openssl enc` on the same file in the
// same run, and reports this program's peak memory.
//
//   bench_crypto [--size-mib N] [--dir D] [--rounds R] [--quick]
//
// Defaults: 1024 MiB, $TMPDIR (else /var/tmp), 3 rounds (best round counts).
// --quick is --size-mib 64. Targets: each direction at least 0.85 of openssl's
// throughput; peak memory under 16 MiB whatever the size. Exit status 0 when
// the targets are met, 2 when one is missed, 1 when something failed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Strings.h"
#include "engine/crypto/CryptoContext.h"
#include "tools/bench_common/BenchArguments.h"
#include "tools/bench_common/BenchFiles.h"
#include "tools/bench_common/BenchMain.h"
#include "tools/bench_common/ChildProgram.h"
#include "tools/bench_common/ProcessUsage.h"
#include "tools/bench_common/ScratchFolder.h"
#include "tools/bench_common/Stopwatch.h"
#include "tools/bench_common/Verdict.h"

namespace {

// The key text and the AES key CryptoAPI's derivation gives for it; the
// bench checks that both tools write the same body, which also confirms it.
const std::string kKeyText = "password";
const std::string kKeyHex = "a3bc508753274827cf2515600eaea32c";
const std::string kZeroIv = "00000000000000000000000000000000";

constexpr double kThroughputTarget = 0.85;
constexpr double kMemoryTargetMiB = 16.0;

struct Settings {
    std::uint64_t sizeMiB = 1024;
    std::string folder = defaultScratchParent();
    int rounds = 3;
};

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    BenchArguments arguments("bench_crypto", "bench_crypto [--size-mib N] [--dir D] [--rounds R] [--quick]",
        "measures transformFile against openssl enc", argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--rounds")
            settings.rounds = static_cast<int>(arguments.positiveNumber(1000000));
        else if (option == "--quick")
            settings.sizeMiB = 64;
        else
            arguments.rejectOption();
    }
    return settings;
}

void transform(const std::string& source, const std::string& target, bool encrypt, std::uint64_t plainSize)
{
    CryptoContext crypto;
    crypto.deriveKey(kKeyText);
    crypto.setAlgorithm("CALG_AES_128");
    FileTransformOptions options;
    options.flush = false;
    if (!encrypt)
        options.plainSize = plainSize;
    (void)crypto.transformFile(toWide(source), toWide(target), encrypt, options);
}

// openssl pads the whole input; the body is padded only when its last chunk
// is partial, so a whole number of chunks goes through -nopad.
void opensslTransform(const std::string& source, const std::string& target, bool encrypt, bool padded)
{
    std::vector<std::string> arguments = { "openssl", "enc", "-aes-128-cbc", "-bufsize", "1048576", "-K", kKeyHex,
        "-iv", kZeroIv, "-in", source, "-out", target };
    if (!encrypt)
        arguments.push_back("-d");
    if (!padded)
        arguments.push_back("-nopad");
    runProgram(arguments);
}

void printDirection(const char* direction, double mib, double ours, double theirs, double ratio)
{
    std::printf("%-10s %11.1f MiB/s %11.1f MiB/s %8.3f  target >= %.2f: %s\n", direction, mib / ours, mib / theirs,
        ratio, kThroughputTarget, verdict(ratio >= kThroughputTarget));
}

int benchmark(const Settings& settings)
{
    const ScratchFolder scratch(settings.folder, "bench_crypto.");
    const std::string& folder = scratch.path();

    const std::uint64_t size = settings.sizeMiB * kMiB;
    const bool padded = size % kFileChunkSize != 0;
    const std::string plain = folder + "/plain";
    const std::string ourBody = folder + "/body.transformFile";
    const std::string theirBody = folder + "/body.openssl";
    const std::string ourPlain = folder + "/plain.transformFile";
    const std::string theirPlain = folder + "/plain.openssl";

    std::printf("bench_crypto: %llu MiB in %s, best of %d rounds\n",
        static_cast<unsigned long long>(settings.sizeMiB), folder.c_str(), settings.rounds);
    createPatternFile(plain, size);

    double ourEncrypt = 1e300, theirEncrypt = 1e300, ourDecrypt = 1e300, theirDecrypt = 1e300;
    for (int round = 0; round < settings.rounds; ++round) {
        // Alternate who goes first so neither always meets a colder cache.
        const bool oursFirst = round % 2 == 0;
        const auto measure = [&](double& best, auto&& step) {
            settle(folder);
            best = std::min(best, secondsOf(step));
        };
        const auto inTurn = [&](auto&& ours, auto&& theirs) {
            if (oursFirst) {
                ours();
                theirs();
            } else {
                theirs();
                ours();
            }
        };

        inTurn([&] { measure(ourEncrypt, [&] { transform(plain, ourBody, true, size); }); },
            [&] { measure(theirEncrypt, [&] { opensslTransform(plain, theirBody, true, padded); }); });
        if (!sameContents(ourBody, theirBody))
            throw std::runtime_error("the bodies of transformFile and openssl differ");
        removeQuietly(theirBody);

        inTurn([&] { measure(ourDecrypt, [&] { transform(ourBody, ourPlain, false, size); }); },
            [&] { measure(theirDecrypt, [&] { opensslTransform(ourBody, theirPlain, false, padded); }); });
        if (!sameContents(ourPlain, plain) || !sameContents(theirPlain, plain))
            throw std::runtime_error("a decrypted file differs from the plain file");
        removeQuietly(ourBody);
        removeQuietly(ourPlain);
        removeQuietly(theirPlain);
    }

    const double mib = static_cast<double>(settings.sizeMiB);
    const double encryptRatio = theirEncrypt / ourEncrypt;
    const double decryptRatio = theirDecrypt / ourDecrypt;
    const double memory = usageOfThisProcess().peakMiB;
    const bool encryptOk = encryptRatio >= kThroughputTarget;
    const bool decryptOk = decryptRatio >= kThroughputTarget;
    const bool memoryOk = memory < kMemoryTargetMiB;

    std::printf("%-10s %16s %16s %8s\n", "", "transformFile", "openssl enc", "ratio");
    printDirection("encrypt", mib, ourEncrypt, theirEncrypt, encryptRatio);
    printDirection("decrypt", mib, ourDecrypt, theirDecrypt, decryptRatio);
    std::printf("peak memory %.1f MiB  target < %.0f MiB: %s\n", memory, kMemoryTargetMiB, verdict(memoryOk));
    return encryptOk && decryptOk && memoryOk ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    return runReportingFailure("bench_crypto", [&] { return benchmark(settings); });
}
