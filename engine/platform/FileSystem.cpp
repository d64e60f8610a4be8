#include "engine/platform/FileSystem.h"

#include "engine/ExceptionModule.h"
#include "engine/platform/PathUtil.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>
#include <array>
#include <mutex>
#include <pthread.h>
#include <sys/random.h>
#include <vector>

namespace {

// A failed system call inside a multi-step operation; the public function
// that started the operation turns it into its own message.
struct SystemFailure {
    int error;
};

[[noreturn]] void failWith(int error)
{
    throw SystemFailure{error};
}

[[noreturn]] void failWithErrno()
{
    failWith(errno);
}

constexpr std::size_t kCopyBufferSize = 256 * 1024;
constexpr mode_t kPrivateFolderMode = S_IRWXU;
constexpr mode_t kOrdinaryFolderMode = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr mode_t kPermissionBits = 07777;

class FileHandle {
public:
    explicit FileHandle(int fd = -1) : fd(fd) {}
    ~FileHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Closes and reports the result: a write may only fail at close.
    [[nodiscard]] int close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result;
    }
    int release()
    {
        const int result = fd;
        fd = -1;
        return result;
    }

private:
    int fd;
};

class FolderHandle {
public:
    explicit FolderHandle(DIR* dir) : dir(dir) {}
    ~FolderHandle()
    {
        if (dir)
            closedir(dir);
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    DIR* get() const { return dir; }

private:
    DIR* dir;
};

// Every name in an open folder but "." and "..", all read before any is
// used: changing a folder while reading it is unspecified.
std::vector<std::string> readFolderNames(DIR* folder, const nocase_wstring& path)
{
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(folder);
        if (!entry) {
            if (errno != 0)
                throw ExceptionModule(L"Cannot read files in the folder:" + path, systemErrorText());
            return names;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
}

// The folder that holds path as given ("." for a bare name).
std::string containingFolder(const nocase_wstring& path)
{
    const nocase_wstring parent = parentFolder(path);
    return parent.empty() ? std::string(".") : toNarrow(parent);
}

// The process's umask, read without changing it (Linux 4.7 and later show
// it in /proc); the usual 022 when it cannot be read.
mode_t processUmask()
{
    FILE* status = fopen("/proc/self/status", "re");
    if (status == nullptr)
        return 022;
    unsigned int mask = 022;
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr)
        if (sscanf(line, "Umask: %o", &mask) == 1)
            break;
    fclose(status);
    return static_cast<mode_t>(mask & 0777);
}

// A hidden name beside target for a copy that is not complete yet.
std::string temporarySibling(const nocase_wstring& target)
{
    return toNarrow(joinPath(toWide(containingFolder(target)), L".kist-" + uniqueId() + L".part"));
}

void flushDescriptor(int fd)
{
    // Some file systems cannot sync folders or special files; nothing is pending there.
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        failWithErrno();
}

void flushFolderEntries(const std::string& folder)
{
    FileHandle handle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.isOpen())
        failWithErrno();
    flushDescriptor(handle.get());
}

void writeAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            failWithErrno();
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

void copyContents(int from, int to, const CopyProgress& onBytes = {})
{
    std::string buffer(kCopyBufferSize, '\0');
    uint64_t copied = 0;
    for (;;) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            failWithErrno();
        }
        if (got == 0)
            return;
        writeAll(to, buffer.data(), static_cast<std::size_t>(got));
        copied += static_cast<uint64_t>(got);
        if (onBytes)
            onBytes(copied);
    }
}

// Copies the regular file source to target, which must not exist yet
// (O_EXCL), with the source's permissions under the umask and its times.
// The data is on the disk when this returns. `created` tells the caller
// whether a target now exists that it has to remove on failure.
void copyFileData(const std::string& source, const std::string& target, bool followLinks, bool& created,
                  const CopyProgress& onBytes = {})
{
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int sourceFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW);
    FileHandle from(open(source.c_str(), sourceFlags));
    if (!from.isOpen())
        failWithErrno();
    struct stat info {};
    if (fstat(from.get(), &info) != 0)
        failWithErrno();
    if (!S_ISREG(info.st_mode))
        failWith(S_ISDIR(info.st_mode) ? EISDIR : EOPNOTSUPP);

    // Private while incomplete (a partial copy of a vault file is plain
    // content); the source's permissions under the umask once it is whole.
    FileHandle to(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!to.isOpen())
        failWithErrno();
    created = true;
    copyContents(from.get(), to.get(), onBytes);
    if (fchmod(to.get(), info.st_mode & 0777 & ~processUmask()) != 0)
        failWithErrno();
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (futimens(to.get(), times) != 0)
        failWithErrno();
    if (fdatasync(to.get()) != 0)
        failWithErrno();
    if (to.close() != 0)
        failWithErrno();
}

// rename(2), or with replace = false a rename that never overwrites.
[[nodiscard]] int renameEntry(const std::string& from, const std::string& to, bool replace)
{
    if (replace)
        return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // The file system cannot refuse atomically: check, then rename.
    struct stat info {};
    if (lstat(to.c_str(), &info) == 0)
        return EEXIST;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string readLinkText(const std::string& link, std::size_t sizeHint)
{
    std::string text(sizeHint + 1, '\0');
    for (;;) {
        const ssize_t length = readlink(link.c_str(), text.data(), text.size());
        if (length < 0)
            failWithErrno();
        if (static_cast<std::size_t>(length) < text.size()) {
            text.resize(static_cast<std::size_t>(length));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

// Copies a file, folder tree or symbolic link to target, which must not
// exist, and flushes every file and folder entry it writes.
void copyTree(const std::string& source, const std::string& target, const struct stat& info)
{
    if (S_ISREG(info.st_mode)) {
        bool created = false;
        copyFileData(source, target, false, created);
        return;
    }
    if (S_ISLNK(info.st_mode)) {
        const std::string text = readLinkText(source, static_cast<std::size_t>(info.st_size));
        if (symlink(text.c_str(), target.c_str()) != 0)
            failWithErrno();
        return;
    }
    if (!S_ISDIR(info.st_mode))
        failWith(EOPNOTSUPP);

    // Private until complete; the source's mode is applied once the children are in.
    if (mkdir(target.c_str(), kPrivateFolderMode) != 0)
        failWithErrno();
    FolderHandle folder(opendir(source.c_str()));
    if (!folder.get())
        failWithErrno();
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(folder.get());
        if (!entry) {
            if (errno != 0)
                failWithErrno();
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string childSource = source + "/" + name;
        struct stat childInfo {};
        if (lstat(childSource.c_str(), &childInfo) != 0)
            failWithErrno();
        copyTree(childSource, target + "/" + name, childInfo);
    }
    flushFolderEntries(target);
    if (chmod(target.c_str(), info.st_mode & kPermissionBits) != 0)
        failWithErrno();
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        failWithErrno();
}

void removeQuietly(const std::string& path) noexcept
{
    try {
        deletePath(toWide(path));
    } catch (...) {
        // Cleaning up after a failure: the first error is the one to report.
    }
}

// Refuses to copy or move a folder into itself; true when source and target
// are the same path, which needs no work.
bool isSameOrRefused(const nocase_wstring& source, const nocase_wstring& target, const wchar_t* message)
{
    const nocase_wstring from = makeAbsolute(source);
    const nocase_wstring to = makeAbsolute(target);
    if (sameExactly(from, to))
        return true;
    if (isInsideOrSame(to, from))
        throw ExceptionModule(message + source, L"");
    return false;
}

bool isSameFile(const std::string& a, const std::string& b)
{
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev
           && first.st_ino == second.st_ino;
}

void moveAcrossFileSystems(const nocase_wstring& source, const nocase_wstring& target, bool replace)
{
    const std::string from = toNarrow(source);
    const std::string to = toNarrow(target);
    std::string temporary;
    try {
        struct stat info {};
        if (lstat(from.c_str(), &info) != 0)
            failWithErrno();
        struct stat existing {};
        if (!replace && lstat(to.c_str(), &existing) == 0)
            failWith(EEXIST);

        // The copy is built under a hidden name and renamed into place when complete.
        temporary = temporarySibling(target);
        copyTree(from, temporary, info);
        if (const int error = renameEntry(temporary, to, replace); error != 0)
            failWith(error);
        temporary.clear();
        flushFolderEntries(containingFolder(target));
    } catch (const SystemFailure& failure) {
        if (!temporary.empty())
            removeQuietly(temporary);
        throw ExceptionModule(L"Failed to move: " + source, systemErrorText(failure.error));
    }

    // The target is complete and on the disk: only now may the source go. If
    // that fails the copy stays, since part of the source may be gone already.
    try {
        deletePath(source);
    } catch (const ExceptionModule& error) {
        throw ExceptionModule(L"Failed to move: " + source, toWide(error.getCause()));
    }
}

void removeFolderContents(int parentFd, const std::string& name, const nocase_wstring& path);

void removeEntry(int folderFd, const std::string& name, const nocase_wstring& path)
{
    struct stat info {};
    if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        throw ExceptionModule(L"Internal error. Cannot determine if " + path + L" is a file or folder.",
                              systemErrorText());
    }
    if (S_ISDIR(info.st_mode))
        removeFolderContents(folderFd, name, path);
    if (unlinkat(folderFd, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
        throw ExceptionModule(L"Failed to delete: " + path, systemErrorText());
}

// Empties the folder `name` of parentFd. Each folder is opened without
// following links and made owner-writable before its children go, so
// read-only trees are removed and nothing outside the tree is touched.
void removeFolderContents(int parentFd, const std::string& name, const nocase_wstring& path)
{
    const int openFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parentFd, name.c_str(), openFlags);
    if (fd < 0 && errno == EACCES) {
        // An unreadable folder: it was just seen as a folder, so make it ours to read.
        if (fchmodat(parentFd, name.c_str(), S_IRWXU, 0) == 0)
            fd = openat(parentFd, name.c_str(), openFlags);
    }
    FileHandle handle(fd);
    if (!handle.isOpen())
        throw ExceptionModule(L"Cannot read files in the folder:" + path, systemErrorText());

    struct stat info {};
    if (fstat(handle.get(), &info) != 0)
        throw ExceptionModule(L"Internal error. Cannot determine if " + path + L" is a file or folder.",
                              systemErrorText());
    if ((info.st_mode & S_IRWXU) != S_IRWXU && fchmod(handle.get(), (info.st_mode & kPermissionBits) | S_IRWXU) != 0)
        throw ExceptionModule(L"Failed to delete: " + path, systemErrorText());

    FolderHandle folder(fdopendir(handle.get()));
    if (!folder.get())
        throw ExceptionModule(L"Cannot read files in the folder:" + path, systemErrorText());
    handle.release(); // the folder stream owns the descriptor now

    const std::vector<std::string> names = readFolderNames(folder.get(), path);
    const int folderFd = dirfd(folder.get());
    for (const std::string& child : names)
        removeEntry(folderFd, child, joinPath(path, toWide(child)));
}

} // namespace

void createFolder(const nocase_wstring& path, bool isPrivate)
{
    const std::string name = toNarrow(path);
    if (mkdir(name.c_str(), isPrivate ? kPrivateFolderMode : kOrdinaryFolderMode) == 0) {
        // The umask may take more than the group and others' bits away.
        if (isPrivate && chmod(name.c_str(), kPrivateFolderMode) != 0)
            throw ExceptionModule(L"Failed to create " + path, systemErrorText());
        return;
    }
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return;
    // A file of that name is no folder: accepting it would only fail later.
    throw ExceptionModule(L"Failed to create " + path, systemErrorText(error));
}

void createFolders(const nocase_wstring& path, bool isPrivate)
{
    std::vector<nocase_wstring> missing;
    nocase_wstring level = trimTrailingSlashes(path);
    while (!level.empty()) {
        struct stat info {};
        if (stat(toNarrow(level).c_str(), &info) == 0)
            break;
        missing.push_back(level);
        level = parentFolder(level);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        createFolder(*it, isPrivate);
    if (missing.empty())
        createFolder(path, isPrivate); // reports an existing non-folder
}

void copyPath(const nocase_wstring& source, const nocase_wstring& target, bool replace)
{
    if (isSameOrRefused(source, target, L"You cannot copy a parent folder into its child: "))
        return;
    const std::string from = toNarrow(source);
    const std::string to = toNarrow(target);
    // Another name for the very same file: copying would truncate the source.
    if (replace && isSameFile(from, to))
        return;

    // Without replace the target itself is created exclusively; with it the
    // copy goes to a hidden sibling first so that the old target survives a
    // failed copy.
    const std::string written = replace ? temporarySibling(target) : to;
    bool created = false;
    try {
        copyFileData(from, written, true, created);
        if (replace) {
            if (const int error = renameEntry(written, to, true); error != 0)
                failWith(error);
        }
        created = false;
        flushFolderEntries(containingFolder(target));
    } catch (const SystemFailure& failure) {
        if (created)
            (void)unlink(written.c_str());
        throw ExceptionModule(L"Failed to copy: " + source, systemErrorText(failure.error));
    }
}

void linkOrCopyFile(const nocase_wstring& source, const nocase_wstring& target, const CopyProgress& onBytes)
{
    const std::string from = toNarrow(source);
    const std::string to = toNarrow(target);
    if (link(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        // File systems without hard links between these folders get a copy.
        if (error == EXDEV || error == EPERM || error == EMLINK || error == EOPNOTSUPP) {
            // Built under a hidden name and put in place whole, so a copy cut
            // short never stands under the target's name.
            const std::string written = temporarySibling(target);
            bool created = false;
            try {
                copyFileData(from, written, true, created, onBytes);
                if (const int renameError = renameEntry(written, to, false); renameError != 0)
                    failWith(renameError);
                created = false;
            } catch (const SystemFailure& failure) {
                if (created)
                    (void)unlink(written.c_str());
                throw ExceptionModule(L"Failed to copy: " + source, systemErrorText(failure.error));
            } catch (...) {
                // Stopped by onBytes: the partial copy goes too.
                if (created)
                    (void)unlink(written.c_str());
                throw;
            }
            return;
        }
        throw ExceptionModule(L"Failed to copy: " + source, systemErrorText(error));
    }
}

void movePath(const nocase_wstring& source, const nocase_wstring& target, bool replace)
{
    if (isSameOrRefused(source, target, L"You cannot move a parent folder into its child: "))
        return;
    const int error = renameEntry(toNarrow(source), toNarrow(target), replace);
    if (error == 0)
        return;
    if (error != EXDEV)
        throw ExceptionModule(L"Failed to move: " + source, systemErrorText(error));
    moveAcrossFileSystems(source, target, replace);
}

bool deleteFile(const nocase_wstring& path) noexcept
{
    try {
        return unlink(toNarrow(path).c_str()) == 0;
    } catch (...) {
        return false;
    }
}

void deletePath(const nocase_wstring& path)
{
    // "link/" or "link/." would name what a link points to, not the link.
    const nocase_wstring trimmed = trimTrailingSlashes(path);
    const nocase_wstring last = lastComponent(trimmed);
    if (sameExactly(last, L".") || sameExactly(last, L".."))
        throw ExceptionModule(L"Failed to delete: " + path, systemErrorText(EINVAL));
    const std::string name = toNarrow(trimmed);
    struct stat info {};
    if (lstat(name.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return;
        throw ExceptionModule(L"Internal error. Cannot determine if " + path + L" is a file or folder.",
                              systemErrorText());
    }
    if (S_ISDIR(info.st_mode)) {
        removeFolderContents(AT_FDCWD, name, path);
        if (rmdir(name.c_str()) != 0 && errno != ENOENT)
            throw ExceptionModule(L"Failed to delete: " + path, systemErrorText());
    } else if (unlink(name.c_str()) != 0 && errno != ENOENT) {
        throw ExceptionModule(L"Failed to delete: " + path, systemErrorText());
    }
}

bool pathExists(const nocase_wstring& path)
{
    struct stat info {};
    return lstat(toNarrow(path).c_str(), &info) == 0;
}

PathInfo pathInfo(const nocase_wstring& path)
{
    struct stat info {};
    if (lstat(toNarrow(path).c_str(), &info) != 0)
        throw ExceptionModule(L"Cannot find the file: " + path, systemErrorText());

    PathInfo result;
    result.volume = static_cast<uint32_t>(info.st_dev);
    if (S_ISREG(info.st_mode)) {
        result.size = static_cast<uint64_t>(info.st_size);
        result.type = PathType::File;
    } else if (S_ISDIR(info.st_mode)) {
        result.isFolder = true;
        result.type = PathType::Folder;
    } else if (S_ISLNK(info.st_mode)) {
        result.type = PathType::Symlink;
    } else {
        result.type = PathType::Other;
    }
    return result;
}

void listFolder(const nocase_wstring& path, std::vector<nocase_wstring>& names)
{
    FolderHandle folder(opendir(toNarrow(path).c_str()));
    if (!folder.get())
        throw ExceptionModule(L"Cannot read files in the folder:" + path, systemErrorText());
    // Appended only once the whole folder was read, so a failure adds nothing.
    for (const std::string& name : readFolderNames(folder.get(), path))
        names.push_back(toWide(name));
}

bool clearAttributes(const nocase_wstring& path) noexcept
{
    try {
        const std::string name = toNarrow(path);
        struct stat info {};
        if (lstat(name.c_str(), &info) != 0)
            return false;
        // A link has no mode of its own, and chmod would reach its target.
        if (S_ISLNK(info.st_mode) || (info.st_mode & S_IWUSR) != 0)
            return true;
        return chmod(name.c_str(), (info.st_mode & kPermissionBits) | S_IWUSR) == 0;
    } catch (...) {
        return false;
    }
}

void flushFile(const nocase_wstring& path)
{
    FileHandle handle(open(toNarrow(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    try {
        if (!handle.isOpen())
            failWithErrno();
        flushDescriptor(handle.get());
    } catch (const SystemFailure& failure) {
        throw ExceptionModule(L"Failed to write to the disk: " + path, systemErrorText(failure.error));
    }
}

void flushFileSystem(const nocase_wstring& anyPathOnIt)
{
    FileHandle handle(open(toNarrow(anyPathOnIt).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!handle.isOpen() || syncfs(handle.get()) != 0)
        throw ExceptionModule(L"Failed to write to the disk: " + anyPathOnIt, systemErrorText());
}

namespace {

// Random bytes for ids, drawn from the kernel a page at a time: a folder of
// thousands of files needs an id for each, and a draw for each cost a
// system call or five (the uuid library checks the process id every time).
class IdRandomPool {
public:
    IdRandomPool()
    {
        pthread_atfork([] { instance().mutex.lock(); }, [] { instance().mutex.unlock(); },
                       [] {
                           instance().left = 0;
                           instance().mutex.unlock();
                       });
    }

    static IdRandomPool& instance()
    {
        static IdRandomPool pool;
        return pool;
    }

    void take(unsigned char* out, std::size_t count)
    {
        const std::lock_guard lock(mutex);
        if (left < count) {
            std::size_t filled = 0;
            while (filled < bytes.size()) {
                const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
                if (got < 0) {
                    if (errno == EINTR)
                        continue;
                    throw ExceptionModule(L"Cannot generate a unique id or file name.", systemErrorText());
                }
                filled += static_cast<std::size_t>(got);
            }
            left = bytes.size();
        }
        unsigned char* from = bytes.data() + bytes.size() - left;
        std::memcpy(out, from, count);
        // Used bytes are not kept: an id is never drawn twice.
        std::memset(from, 0, count);
        left -= count;
    }

private:
    std::mutex mutex;
    std::array<unsigned char, 4096> bytes {};
    // Bytes not yet handed out; a forked child starts over, so that parent
    // and child never hand out the same ids.
    std::size_t left = 0;
};

} // namespace

nocase_wstring uniqueId()
{
    uuid_t id;
    IdRandomPool::instance().take(id, sizeof id);
    // A random (version 4, RFC 4122 variant) id, as uuid_generate_random makes.
    id[6] = static_cast<unsigned char>((id[6] & 0x0F) | 0x40);
    id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);
    char text[37] = {};
    uuid_unparse_lower(id, text);
    return toWide(text);
}

namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The path with every link resolved; for a path that does not exist, its
// deepest existing folder resolved and the rest appended as written.
std::string resolvedPath(const std::string& path)
{
    std::string head = path;
    std::string rest;
    for (;;) {
        if (char* real = ::realpath(head.c_str(), nullptr)) {
            std::string resolved = real;
            std::free(real);
            if (rest.empty())
                return resolved;
            return resolved == "/" ? "/" + rest : resolved + "/" + rest;
        }
        const std::size_t slash = head.find_last_of('/');
        if (slash == std::string::npos || head == "/")
            return path;
        const std::string last = head.substr(slash + 1);
        rest = rest.empty() ? last : last + "/" + rest;
        head = slash == 0 ? std::string("/") : head.substr(0, slash);
    }
}

} // namespace

bool liesWithinOnDisk(const nocase_wstring& path, const nocase_wstring& folder)
{
    if (isInsideOrSame(path, folder))
        return true;
    struct stat target {};
    if (::stat(toNarrow(folder).c_str(), &target) != 0)
        return false;
    std::string at = resolvedPath(toNarrow(path));
    for (;;) {
        struct stat info {};
        if (::stat(at.c_str(), &info) == 0 && sameFile(info, target))
            return true;
        const std::size_t slash = at.find_last_of('/');
        if (at == "/" || slash == std::string::npos)
            return false;
        at = slash == 0 ? std::string("/") : at.substr(0, slash);
    }
}

bool isSameOnDisk(const nocase_wstring& first, const nocase_wstring& second)
{
    struct stat a {};
    struct stat b {};
    return ::stat(toNarrow(first).c_str(), &a) == 0 && ::stat(toNarrow(second).c_str(), &b) == 0 && sameFile(a, b);
}

unsigned int fileCreationMask()
{
    // Linux tells the umask in the process status (since 4.7); reading it
    // changes nothing, and a program that sets a new umask is followed.
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 022u;
    char buffer[4096];
    std::size_t length = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer + length, sizeof buffer - 1 - length);
        if (got > 0)
            length += static_cast<std::size_t>(got);
        if (got == 0 || length == sizeof buffer - 1 || (got < 0 && errno != EINTR))
            break;
    }
    (void)::close(fd);
    buffer[length] = '\0';
    const char* line = std::strstr(buffer, "\nUmask:");
    if (line == nullptr)
        return 022u;
    return static_cast<unsigned int>(std::strtoul(line + 7, nullptr, 8)) & 0777u;
}

bool spreadNewFolders(const nocase_wstring& folder) noexcept
{
    try {
        const int fd = ::open(toNarrow(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool spread = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (spread && (flags & FS_TOPDIR_FL) == 0) {
            flags |= FS_TOPDIR_FL;
            spread = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        (void)::close(fd);
        return spread;
    } catch (...) {
        return false;
    }
}
