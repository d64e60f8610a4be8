#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// Blocks handed from one reader to the next: a package of many files would
// otherwise fault fresh pages in for every file it reads. Any thread may
// take and give.
class ReadBlockPool {
public:
    static constexpr std::size_t kBlockSize = std::size_t{128} << 10;
    // How far one reader reads ahead of the file being written: a whole photo.
    static constexpr std::size_t kMostAheadBytes = std::size_t{4} << 20;

    std::unique_ptr<unsigned char[]> take();
    // Keeps at most two readers' worth; the rest is freed.
    void give(std::unique_ptr<unsigned char[]> block);

private:
    std::mutex mutex;
    std::vector<std::unique_ptr<unsigned char[]>> spare;
};
