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
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/Kist.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;
constexpr char kSenderPassword[] = "sender vault pw";
constexpr char kReceiverPassword[] = "receiver vault pw";
constexpr char kPackagePassword[] = "bench package pw";
constexpr char kEntryName[] = "data";

struct Settings {
    std::uint64_t sizeMiB = 1024;
    int files = 8;
    std::string folder;
    bool keep = false;
};

[[noreturn]] void usage(const std::string& message)
{
    std::fprintf(stderr, "bench_packages: %s\nusage: bench_packages [--size-mib N] [--files N] [--dir D] [--keep]\n",
                 message.c_str());
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
                usage("missing value after " + argument);
            return argv[++i];
        };
        const auto positive = [&](const std::string& text) {
            char* end = nullptr;
            const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || number == 0)
                usage(argument + " takes a positive number");
            return number;
        };
        if (argument == "--size-mib")
            settings.sizeMiB = positive(value());
        else if (argument == "--files")
            settings.files = static_cast<int>(std::min<unsigned long long>(positive(value()), 100000));
        else if (argument == "--dir")
            settings.folder = value();
        else if (argument == "--keep")
            settings.keep = true;
        else if (argument == "--help" || argument == "-h")
            usage("measures exporting and importing packages against 7z");
        else
            usage("unknown argument " + argument);
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

void writeAll(int fd, const char* data, std::size_t count, const std::string& path)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, data + done, count - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(put);
    }
}

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
        writeAll(out.get(), reinterpret_cast<const char*>(block.data()), count, path);
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

// Runs a program without a shell; returns its standard output and fails
// unless it exits with 0.
std::string run(const std::vector<std::string>& arguments, const std::string& folder = "")
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            std::_Exit(126);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            output.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("failed: " + arguments.front() + " (exit status " +
                                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
    return output;
}

bool available(const std::string& program)
{
    try {
        (void)run({"sh", "-c", "command -v \"$0\" >/dev/null", program});
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
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
    settle(folder);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Points the home folders and $TMPDIR into home, so that Kist(true) opens
// the vault there.
void useHome(const std::string& home)
{
    for (const char* folder : {"/Desktop", "/.local/share", "/.config", "/tmp"})
        fs::create_directories(home + folder);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_DESKTOP_DIR", (home + "/Desktop").c_str(), 1);
    ::setenv("TMPDIR", (home + "/tmp").c_str(), 1);
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
        const double seconds = std::stod(run(arguments));
        best = best < 0 ? seconds : std::min(best, seconds);
    }
    return best;
}

double mibPerSecond(std::uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / static_cast<double>(kMiB) / seconds : 0.0;
}

// Processor time (user and system) this process has used so far.
double processorSeconds()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double peakMemoryMiB()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
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
    std::printf("  peak memory of this process: %.1f MiB\n", peakMemoryMiB());
}

int benchmark(const Settings& settings)
{
    std::string pattern = settings.folder + "/bench-packages-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a scratch folder below " + settings.folder);
    const std::string root = pattern;
    struct Cleanup {
        std::string folder;
        bool keep;
        ~Cleanup()
        {
            std::error_code ignored;
            if (!keep)
                fs::remove_all(folder, ignored);
            else
                std::printf("kept %s\n", folder.c_str());
        }
    } cleanup{root, settings.keep};

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
    if (available("7z")) {
        const std::string archive = root + "/seven.zip";
        results.sevenZip = secondsOf(root, [&] {
            (void)run({"7z", "a", std::string("-p") + kPackagePassword, "-tzip", "-mx=0", "-bso0", "-bsp0", archive,
                       kEntryName},
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
        results.add = secondsOf(root, [&] { vault.addFile(adding, &added, false); });
        const double processorBefore = processorSeconds();
        results.exportSeconds =
            secondsOf(root, [&] { vault.exportFiles(package, {kEntryName}, kPackagePassword); });
        results.exportProcessor = processorSeconds() - processorBefore;
        results.packageBytes = fs::file_size(package);
        if (available("python3")) {
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
    results.import = secondsOf(root, [&] {
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
    results.takeOut = secondsOf(root, [&] { receiver.removeFile(kEntryName, out); });
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
    try {
        return benchmark(settings);
    } catch (const ExceptionModule& e) {
        std::fprintf(stderr, "bench_packages: %s\n", e.getMessage().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_packages: %s\n", e.what());
    }
    return 1;
}
