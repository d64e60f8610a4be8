#include "tools/bench_common/Descriptor.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& name)
{
    throw std::runtime_error("cannot " + what + " " + name + ": " + std::strerror(errno));
}

} // namespace

Descriptor::Descriptor(const std::string& path, int flags)
    : fd(::open(path.c_str(), flags | O_CLOEXEC, 0600))
    , name(path)
{
    if (fd < 0)
        fail("open", path);
}

Descriptor::Descriptor(int adopted, std::string description)
    : fd(adopted)
    , name(std::move(description))
{
}

Descriptor::~Descriptor()
{
    close();
}

void Descriptor::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void Descriptor::writeAll(const char* data, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, data + done, count - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            fail("write", name);
        done += static_cast<std::size_t>(put);
    }
}

std::size_t Descriptor::readFully(char* buffer, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, buffer + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail("read", name);
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::string Descriptor::readToEnd()
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const std::size_t got = readFully(buffer, sizeof buffer);
        text.append(buffer, got);
        if (got < sizeof buffer)
            return text;
    }
}
