#pragma once

#include <string>

// An exclusive lock on a folder (flock on the folder itself), held while a
// file in it is read, changed and replaced, so that programs (and threads)
// doing the same wait for one another. Waits at most 10 s; a folder that
// cannot be opened or locked in that time is worked on without the lock,
// as before there was one.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int descriptor;
};
