#pragma once

#include <cstddef>
#include <string>

// An open file descriptor that closes itself; every failure throws
// std::runtime_error naming the file.
class Descriptor {
public:
    // Opens path (created with mode 0600 where flags ask for it).
    Descriptor(const std::string& path, int flags);
    // Takes over fd, an end of a pipe for instance; name is for messages.
    Descriptor(int fd, std::string name);
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd; }
    void close();

    void writeAll(const char* data, std::size_t count);
    // Reads until count bytes or the end; returns how many it read.
    std::size_t readFully(char* buffer, std::size_t count);
    std::string readToEnd();

private:
    int fd;
    std::string name;
};
