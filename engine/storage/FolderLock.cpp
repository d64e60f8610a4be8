#include "engine/storage/FolderLock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

FolderLock::FolderLock(const std::string& folder)
    : descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (descriptor >= 0 && ::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(descriptor);
            descriptor = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

FolderLock::~FolderLock()
{
    if (descriptor >= 0)
        ::close(descriptor);
}
