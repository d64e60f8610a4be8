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
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/ExceptionModule.h"
#include "engine/Strings.h"
#include "engine/crypto/CryptoContext.h"

namespace {

// The key text and the AES key CryptoAPI's derivation gives for it; the
// bench checks that both tools write the same body, which also confirms it.
const std::string kKeyText = "password";
const std::string kKeyHex = "a3bc508753274827cf2515600eaea32c";
const std::string kZeroIv = "00000000000000000000000000000000";

constexpr double kThroughputTarget = 0.85;
constexpr double kMemoryTargetMiB = 16.0;
constexpr std::size_t kMiB = std::size_t { 1 } << 20;

struct Settings {
    std::uint64_t sizeMiB = 1024;
    std::string folder;
    int rounds = 3;
};

[[noreturn]] void usage(const char* message)
{
    std::fprintf(stderr, "bench_crypto: %s\nusage: bench_crypto [--size-mib N] [--dir D] [--rounds R] [--quick]\n",
        message);
    std::exit(1);
}

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    const char* temporary = std::getenv("TMPDIR");
    settings.folder = temporary != nullptr && *temporary != '\0' ? temporary : "/var/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value after " + argument).c_str());
            return argv[++i];
        };
        if (argument == "--size-mib") {
            const std::string text = value();
            char* end = nullptr;
            settings.sizeMiB = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || settings.sizeMiB == 0)
                usage("--size-mib takes a positive number");
        } else if (argument == "--dir") {
            settings.folder = value();
        } else if (argument == "--rounds") {
            settings.rounds = std::atoi(value().c_str());
            if (settings.rounds < 1)
                usage("--rounds takes a positive number");
        } else if (argument == "--quick") {
            settings.sizeMiB = 64;
        } else if (argument == "--help" || argument == "-h") {
            usage("measures transformFile against openssl enc");
        } else {
            usage(("unknown argument " + argument).c_str());
        }
    }
    return settings;
}

class Descriptor {
public:
    Descriptor(const std::string& path, int flags)
        : fd(::open(path.c_str(), flags | O_CLOEXEC, 0600))
    {
        if (fd < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

std::size_t readFully(int fd, char* buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, buffer + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::runtime_error(std::string("read failed: ") + std::strerror(errno));
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Bytes i % 251, written in 1 MiB blocks so the bench itself stays small.
void createPlainFile(const std::string& path, std::uint64_t size)
{
    Descriptor out(path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<char> block(kMiB);
    std::uint64_t position = 0;
    while (position < size) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - position));
        for (std::size_t i = 0; i < count; ++i)
            block[i] = static_cast<char>((position + i) % 251);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t put = ::write(out.get(), block.data() + done, count - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
            done += static_cast<std::size_t>(put);
        }
        position += count;
    }
}

bool sameContents(const std::string& a, const std::string& b)
{
    Descriptor first(a, O_RDONLY);
    Descriptor second(b, O_RDONLY);
    std::vector<char> left(kMiB);
    std::vector<char> right(kMiB);
    for (;;) {
        const std::size_t gotLeft = readFully(first.get(), left.data(), left.size());
        const std::size_t gotRight = readFully(second.get(), right.data(), right.size());
        if (gotLeft != gotRight || std::memcmp(left.data(), right.data(), gotLeft) != 0)
            return false;
        if (gotLeft < left.size())
            return true;
    }
}

// Runs a program without a shell and fails unless it exits with 0.
void run(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("failed: " + arguments.front() + " " + arguments[1] + " ...");
}

// Writes back what earlier steps left dirty, so that no step pays for the
// write-back of another.
void settle(const std::string& folder)
{
    Descriptor directory(folder, O_RDONLY | O_DIRECTORY);
    if (::syncfs(directory.get()) != 0)
        throw std::runtime_error(std::string("syncfs failed: ") + std::strerror(errno));
}

template <typename Step>
double secondsOf(const std::string& folder, Step&& step)
{
    settle(folder);
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    run(arguments);
}

double peakMemoryMiB()
{
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        throw std::runtime_error("getrusage failed");
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
}

void removeFile(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

int benchmark(const Settings& settings)
{
    std::string pattern = settings.folder + "/bench_crypto.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a folder in " + settings.folder + ": " + std::strerror(errno));
    const std::string folder = pattern;
    const auto cleanUp = std::unique_ptr<const std::string, void (*)(const std::string*)>(
        &folder, [](const std::string* path) {
            std::error_code ignored;
            std::filesystem::remove_all(*path, ignored);
        });

    const std::uint64_t size = settings.sizeMiB * kMiB;
    const bool padded = size % kFileChunkSize != 0;
    const std::string plain = folder + "/plain";
    const std::string ourBody = folder + "/body.transformFile";
    const std::string theirBody = folder + "/body.openssl";
    const std::string ourPlain = folder + "/plain.transformFile";
    const std::string theirPlain = folder + "/plain.openssl";

    std::printf("bench_crypto: %llu MiB in %s, best of %d rounds\n",
        static_cast<unsigned long long>(settings.sizeMiB), folder.c_str(), settings.rounds);
    createPlainFile(plain, size);

    double ourEncrypt = 1e300, theirEncrypt = 1e300, ourDecrypt = 1e300, theirDecrypt = 1e300;
    for (int round = 0; round < settings.rounds; ++round) {
        // Alternate who goes first so neither always meets a colder cache.
        const bool oursFirst = round % 2 == 0;
        const auto measure = [&](double& best, auto&& step) { best = std::min(best, secondsOf(folder, step)); };
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
        removeFile(theirBody);

        inTurn([&] { measure(ourDecrypt, [&] { transform(ourBody, ourPlain, false, size); }); },
            [&] { measure(theirDecrypt, [&] { opensslTransform(ourBody, theirPlain, false, padded); }); });
        if (!sameContents(ourPlain, plain) || !sameContents(theirPlain, plain))
            throw std::runtime_error("a decrypted file differs from the plain file");
        removeFile(ourBody);
        removeFile(ourPlain);
        removeFile(theirPlain);
    }

    const double mib = static_cast<double>(settings.sizeMiB);
    const double encryptRatio = theirEncrypt / ourEncrypt;
    const double decryptRatio = theirDecrypt / ourDecrypt;
    const double memory = peakMemoryMiB();
    const bool encryptOk = encryptRatio >= kThroughputTarget;
    const bool decryptOk = decryptRatio >= kThroughputTarget;
    const bool memoryOk = memory < kMemoryTargetMiB;

    std::printf("%-10s %16s %16s %8s\n", "", "transformFile", "openssl enc", "ratio");
    std::printf("%-10s %11.1f MiB/s %11.1f MiB/s %8.3f  target >= %.2f: %s\n", "encrypt", mib / ourEncrypt,
        mib / theirEncrypt, encryptRatio, kThroughputTarget, encryptOk ? "met" : "MISSED");
    std::printf("%-10s %11.1f MiB/s %11.1f MiB/s %8.3f  target >= %.2f: %s\n", "decrypt", mib / ourDecrypt,
        mib / theirDecrypt, decryptRatio, kThroughputTarget, decryptOk ? "met" : "MISSED");
    std::printf("peak memory %.1f MiB  target < %.0f MiB: %s\n", memory, kMemoryTargetMiB, memoryOk ? "met" : "MISSED");
    return encryptOk && decryptOk && memoryOk ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    try {
        return benchmark(settings);
    } catch (const ExceptionModule& error) {
        std::fprintf(stderr, "bench_crypto: %s %s\n", error.getMessage().c_str(), error.getCause().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_crypto: %s\n", error.what());
    }
    return 1;
}
