#include "engine/storage/PageKeyCache.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/storage/FolderLock.h"

namespace {

constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kKeyLength = 32;
// One line a key: the salt and the key in lower-case hex, a space between.
constexpr std::size_t kLineLength = 2 * kSaltLength + 1 + 2 * kKeyLength + 1;
constexpr char kFolderName[] = "kist";
constexpr char kFileName[] = "page-keys";

using KeptKeys = std::vector<std::pair<std::string, std::string>>;

// Whether text is lower-case hex digits only.
bool isHex(std::string_view text)
{
    for (const char digit : text)
        if ((digit < '0' || digit > '9') && (digit < 'a' || digit > 'f'))
            return false;
    return true;
}

// Whether a folder is the user's own and nobody else may enter or change it.
bool isPrivateFolder(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()
        && (info.st_mode & 077) == 0;
}

// The folder the keys live in, made when missing; empty when there is no
// private runtime folder to keep them in.
std::string keyFolder(bool create)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/' || !isPrivateFolder(runtime))
        return {};
    const std::string folder = std::string(runtime) + "/" + kFolderName;
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return isPrivateFolder(folder) ? folder : std::string();
}

KeptKeys readKeys(const std::string& folder)
{
    KeptKeys keys;
    const std::string path = folder + "/" + kFileName;
    // Non-blocking: a named pipe in the file's place must not hold the
    // opening (it is not a plain file, so it is skipped below).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return keys;
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid()
        && static_cast<std::size_t>(info.st_size) <= 2 * PageKeyCache::kKeptKeys * kLineLength) {
        text.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    ::close(fd);
    // A line that is not whole is skipped: a hint that cannot be read is no
    // loss.
    for (std::size_t at = 0; at + kLineLength <= text.size(); at += kLineLength) {
        const std::string_view line(text.data() + at, kLineLength);
        const std::string_view salt = line.substr(0, 2 * kSaltLength);
        const std::string_view key = line.substr(2 * kSaltLength + 1, 2 * kKeyLength);
        if (line[2 * kSaltLength] != ' ' || line.back() != '\n' || !isHex(salt) || !isHex(key))
            break;
        keys.emplace_back(salt, key);
    }
    return keys;
}

// Replaces the file as a whole, so that a program reading it meanwhile finds
// the old keys or the new, never a mixture.
void writeKeys(const std::string& folder, const KeptKeys& keys)
{
    std::string text;
    for (const auto& [salt, key] : keys)
        text += salt + " " + key + "\n";
    const std::string path = folder + "/" + kFileName;
    // Named by the thread: where the folder could not be locked, two keys
    // kept at once in one program still go to files of their own.
    const std::string temporary = path + "." + std::to_string(::gettid()) + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path.c_str()) != 0)
        ::unlink(temporary.c_str());
}

} // namespace

std::string PageKeyCache::find(const std::string& salt)
{
    const std::string folder = keyFolder(false);
    if (folder.empty() || salt.size() != 2 * kSaltLength)
        return {};
    for (const auto& [keptSalt, key] : readKeys(folder))
        if (keptSalt == salt)
            return key;
    return {};
}

void PageKeyCache::remember(const std::string& salt, const std::string& key)
{
    if (salt.size() != 2 * kSaltLength || key.size() != 2 * kKeyLength || !isHex(salt) || !isHex(key))
        return;
    const std::string folder = keyFolder(true);
    if (folder.empty())
        return;
    // Two keys kept at once, by two threads (the vault's and the settings'
    // are derived side by side) or two programs, would otherwise each write
    // the file as they read it, and one would be lost.
    const FolderLock lock(folder);
    KeptKeys keys = readKeys(folder);
    std::erase_if(keys, [&](const auto& kept) { return kept.first == salt; });
    keys.emplace_back(salt, key);
    if (keys.size() > kKeptKeys)
        keys.erase(keys.begin(), keys.end() - static_cast<std::ptrdiff_t>(kKeptKeys));
    writeKeys(folder, keys);
}

void PageKeyCache::forget(const std::string& salt)
{
    const std::string folder = keyFolder(false);
    if (folder.empty())
        return;
    const FolderLock lock(folder);
    KeptKeys keys = readKeys(folder);
    if (std::erase_if(keys, [&](const auto& kept) { return kept.first == salt; }) > 0)
        writeKeys(folder, keys);
}
