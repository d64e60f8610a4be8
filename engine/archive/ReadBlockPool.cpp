#include "engine/archive/ReadBlockPool.h"

namespace {

// Two readers' worth: the file being written and the next one.
constexpr std::size_t kMostSpare = 2 * ReadBlockPool::kMostAheadBytes / ReadBlockPool::kBlockSize;

} // namespace

std::unique_ptr<unsigned char[]> ReadBlockPool::take()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!spare.empty()) {
            std::unique_ptr<unsigned char[]> block = std::move(spare.back());
            spare.pop_back();
            return block;
        }
    }
    return std::unique_ptr<unsigned char[]>(new unsigned char[kBlockSize]);
}

void ReadBlockPool::give(std::unique_ptr<unsigned char[]> block)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (block && spare.size() < kMostSpare)
        spare.push_back(std::move(block));
}
