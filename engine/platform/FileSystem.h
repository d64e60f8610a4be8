#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/Strings.h"

// The engine's only way to the file system. Paths are "/" separated; every
// failure a user should see is an ExceptionModule with a fixed message, the
// path concerned and, where a system call failed, its error text as cause.

enum class PathType { File, Folder, Symlink, Other }; // Other: FIFO, socket, device

struct PathInfo {
    bool isFolder = false;
    uint32_t volume = 0; // st_dev, truncated to 32 bits
    uint64_t size = 0;   // bytes of a file; 0 for anything else
    PathType type = PathType::File;
};

// Creates one folder level; an existing folder is accepted. Private folders
// get mode 0700, others 0777 under the umask.
void createFolder(const nocase_wstring& path, bool isPrivate = false);

// Creates every missing level of path (each new level as createFolder would).
void createFolders(const nocase_wstring& path, bool isPrivate = false);

// Copies one file. The copy is complete and flushed before it appears under
// the target name, so a failed copy leaves an existing target as it was.
// With replace = false an existing target is an error and stays untouched.
void copyPath(const nocase_wstring& source, const nocase_wstring& target, bool replace = true);

// Hears the bytes of a copy as they are written; may throw to stop it, and
// then the partial copy is removed.
using CopyProgress = std::function<void(uint64_t bytesCopied)>;

// Gives a private file a second name at target, which must not exist: a
// hard link where the file system allows it (nothing is copied), otherwise
// a copy as copyPath makes it (onBytes hears that copy). For files whose
// first name is thrown away soon, such as what a package unpacked into its
// temporary folder, many at a time: a copy's data is on the disk when it
// returns, but the caller flushes the rest once for all of them, the
// sources' file system before the first link (a link shares the source's
// data) and the new names after the last (flushFileSystem).
void linkOrCopyFile(const nocase_wstring& source, const nocase_wstring& target, const CopyProgress& onBytes = {});

// Moves or renames a file or folder. Across file systems the source is
// copied, the copy flushed and put in place, and only then is the source
// deleted; a failure removes only what this call created.
void movePath(const nocase_wstring& source, const nocase_wstring& target, bool replace = true);

// Deletes one file (or symbolic link); returns success, never throws.
[[nodiscard]] bool deleteFile(const nocase_wstring& path) noexcept;

// Deletes a file or a folder with everything below it. A missing path is
// quietly nothing; read-only folders are made writable first; a symbolic
// link is removed as a link and what it points to is never touched.
void deletePath(const nocase_wstring& path);

// True when something (even a dangling symbolic link) has this name.
[[nodiscard]] bool pathExists(const nocase_wstring& path);

// What the path itself is (links are not followed). Files of 4 GiB or more
// are refused, since sizes are stored as 32-bit numbers.
[[nodiscard]] PathInfo pathInfo(const nocase_wstring& path);

// True when path is folder itself or lies below it on disk: both are
// compared by device and inode after symbolic links are resolved, so neither
// a link nor a bind mount on the way hides the one inside the other. A path
// that does not exist (yet) is judged by its deepest existing folder; when
// folder does not exist the path texts decide.
[[nodiscard]] bool liesWithinOnDisk(const nocase_wstring& path, const nocase_wstring& folder);

// True when both paths name the same file or folder on disk (links followed).
[[nodiscard]] bool isSameOnDisk(const nocase_wstring& first, const nocase_wstring& second);

// The process's umask, read without changing it (changing it, even for a
// moment, would give files that other threads create meanwhile the wrong
// modes). Where the system does not tell, 022.
[[nodiscard]] unsigned int fileCreationMask();

// Appends the names in a folder, except "." and "..", in the system's order.
void listFolder(const nocase_wstring& path, std::vector<nocase_wstring>& names);

// Makes the path owner-writable so it can be deleted; returns success.
[[nodiscard]] bool clearAttributes(const nocase_wstring& path) noexcept;

// Writes one file's (or folder's entries') data through to the disk.
void flushFile(const nocase_wstring& path);

// Writes everything pending on the file system holding the path: one flush
// for many files written before.
void flushFileSystem(const nocase_wstring& anyPathOnIt);

// Asks the file system to place each new folder made directly in folder
// where it finds room, as it places folders made at its top, rather than
// beside folder (ext4's "T" attribute). Where the file system or the
// folder's owner does not allow it nothing changes; returns whether the
// folder now has it.
bool spreadNewFolders(const nocase_wstring& folder) noexcept;

// A new random GUID as 36 lower-case characters (8-4-4-4-12).
[[nodiscard]] nocase_wstring uniqueId();

// 12 upper-case hex digits of this machine's chosen network hardware address.
[[nodiscard]] nocase_wstring getDeviceIdentity();
