#include "engine/archive/ExtractionTarget.h"

#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/archive/ZipArchive.h"

namespace archive {
namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kTemporaryNameAttempts = 100;
constexpr std::uint64_t kWriteBehindFrom = std::uint64_t{1} << 20;

// Components of a "/"-separated path without empty and "." components;
// false when one of them is "..".
bool splitComponents(std::string_view path, std::vector<std::string>& out)
{
    out.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view component = path.substr(start, end - start);
        if (component == "..")
            return false;
        if (!component.empty() && component != ".")
            out.emplace_back(component);
        start = end + 1;
    }
    return true;
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void closeIfOpen(int& fd)
{
    if (fd >= 0) {
        // Nothing useful can be done when closing a descriptor fails here.
        (void)::close(fd);
        fd = -1;
    }
}

} // namespace

ExtractionTarget::~ExtractionTarget()
{
    discardTemporary();
    closeIfOpen(parentFd);
}

int ExtractionTarget::resolve(const std::string& baseFolder, const nocase_wstring& target)
{
    const std::string narrow = toNarrow(target);
    std::vector<std::string> components;
    if (narrow.empty() || !splitComponents(narrow, components))
        return ZR_UNSAFE;

    if (narrow[0] != '/') {
        anchor = baseFolder.empty() ? std::string(".") : baseFolder;
        parts = std::move(components);
        return ZR_OK;
    }

    if (!baseFolder.empty()) {
        std::vector<std::string> baseComponents;
        if (!splitComponents(baseFolder, baseComponents) || baseComponents.size() > components.size())
            return ZR_UNSAFE;
        for (std::size_t i = 0; i < baseComponents.size(); ++i) {
            if (baseComponents[i] != components[i])
                return ZR_UNSAFE;
        }
        anchor = baseFolder;
        parts.assign(components.begin() + static_cast<std::ptrdiff_t>(baseComponents.size()), components.end());
        return ZR_OK;
    }

    // No base folder: the caller named an absolute place, so the folders that
    // already exist on the way are its own; only what is missing is created.
    std::size_t existing = 0;
    std::string path;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::string next = path + "/" + components[i];
        if (!isFolder(next))
            break;
        path = next;
        existing = i + 1;
    }
    anchor = path.empty() ? std::string("/") : path;
    parts.assign(components.begin() + static_cast<std::ptrdiff_t>(existing), components.end());
    return ZR_OK;
}

int ExtractionTarget::openFolders(std::size_t count, int& folderFd) const
{
    folderFd = ::open(anchor.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return ZR_NOFILE;
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = parts[i].c_str();
        if (::mkdirat(folderFd, name, kPrivateFolderMode) != 0 && errno != EEXIST) {
            closeIfOpen(folderFd);
            return ZR_NOFILE;
        }
        struct stat info {};
        if (::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            closeIfOpen(folderFd);
            return ZR_NOFILE;
        }
        if (S_ISLNK(info.st_mode)) {
            closeIfOpen(folderFd);
            return ZR_UNSAFE;
        }
        if (!S_ISDIR(info.st_mode)) {
            closeIfOpen(folderFd);
            return ZR_NOFILE;
        }
        // O_NOFOLLOW also closes the window between the check and the open.
        const int next = ::openat(folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openError = errno;
        closeIfOpen(folderFd);
        if (next < 0)
            return openError == ELOOP ? ZR_UNSAFE : ZR_NOFILE;
        folderFd = next;
    }
    return ZR_OK;
}

int ExtractionTarget::createFolder()
{
    int folderFd = -1;
    const int result = openFolders(parts.size(), folderFd);
    closeIfOpen(folderFd);
    return result;
}

int ExtractionTarget::beginFile()
{
    bytesWritten = 0;
    if (parts.empty())
        return ZR_UNSAFE;
    if (const int result = openFolders(parts.size() - 1, parentFd); result != ZR_OK)
        return result;

    const std::string& leaf = parts.back();
    struct stat info {};
    if (::fstatat(parentFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(info.st_mode))
            return ZR_UNSAFE;
        if (S_ISDIR(info.st_mode))
            return ZR_NOFILE;
    } else if (errno != ENOENT) {
        return ZR_NOFILE;
    }

    static unsigned counter = 0;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const std::string name =
            ".kist-unzip-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        fileFd = ::openat(parentFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kPrivateFileMode);
        if (fileFd >= 0) {
            temporaryName = name;
            return ZR_OK;
        }
        if (errno != EEXIST)
            return ZR_NOFILE;
    }
    return ZR_NOFILE;
}

int ExtractionTarget::write(const char* data, std::size_t size)
{
    if (fileFd < 0)
        return ZR_ARGS;
    while (size > 0) {
        const ssize_t written = ::write(fileFd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return ZR_WRITE;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        bytesWritten += static_cast<std::uint64_t>(written);
    }
    return ZR_OK;
}

int ExtractionTarget::commit(int64_t accessTime, int64_t modificationTime)
{
    if (fileFd < 0)
        return ZR_ARGS;
    const struct timespec times[2] = {{static_cast<time_t>(accessTime), 0},
                                      {static_cast<time_t>(modificationTime), 0}};
    if (::futimens(fileFd, times) != 0)
        return ZR_WRITE;
    // A large file starts on its way to the disk now, while the next one is
    // read from the archive, rather than all at once when they are flushed.
    // Small ones are left to the kernel, which writes neighbours together.
    if (bytesWritten >= kWriteBehindFrom)
        (void)::sync_file_range(fileFd, 0, 0, SYNC_FILE_RANGE_WRITE);
    const int closed = ::close(fileFd);
    fileFd = -1;
    if (closed != 0)
        return ZR_WRITE;
    if (::renameat(parentFd, temporaryName.c_str(), parentFd, parts.back().c_str()) != 0)
        return ZR_NOFILE;
    temporaryName.clear();
    return ZR_OK;
}

void ExtractionTarget::discardTemporary()
{
    closeIfOpen(fileFd);
    if (!temporaryName.empty() && parentFd >= 0) {
        // Best effort: the temporary name is ours and holds nothing of value.
        (void)::unlinkat(parentFd, temporaryName.c_str(), 0);
        temporaryName.clear();
    }
}

} // namespace archive
