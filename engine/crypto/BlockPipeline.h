#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class SourceFile;
class TargetFile;

// One block of a file on its way from its source to its target.
struct FileBlock {
    unsigned char* data = nullptr;
    // The bytes read; the transform replaces it with the bytes to write.
    std::size_t length = 0;
    // What data can hold: the block size plus the room asked for.
    std::size_t capacity = 0;
    // The source ended with this block, which may be empty.
    bool last = false;
};

// Streams a file from its source to its target in blocks that a transform
// changes in place. Small files run on the calling thread. Large ones run in
// three stages: a thread reads ahead, the caller transforms, a thread writes
// behind, so the disk and the processor work at the same time; the blocks
// still reach the transform and the target one by one, in order.
class BlockPipeline {
public:
    using Transform = std::function<void(FileBlock&)>;
    // Sees the bytes of each block, in order: before the transform (as read)
    // or after it (as written). Streamed files run it on a thread of its own
    // (between reading and transforming, or beside the writing), so it costs
    // the reading, transforming and writing threads nothing.
    using Watch = std::function<void(const unsigned char*, std::size_t)>;

    // Files of at least this many bytes take the three stages. Tests lower
    // it so that a streamed file need not be large.
    static inline std::uint64_t streamThreshold = std::uint64_t { 8 } << 20;

    // extraRoom: what a transform may add to a block (padding).
    BlockPipeline(SourceFile& source, TargetFile& target, std::size_t extraRoom);

    // Runs until the last block is written. The first failure of any stage
    // (a transform may throw to cancel) stops every stage and is thrown
    // here once all of them have stopped.
    void run(std::uint64_t expectedLength, const Transform& transform, const Watch& beforeTransform = {},
        const Watch& afterTransform = {});

private:
    void runHere(std::uint64_t expectedLength, const Transform& transform, const Watch& beforeTransform,
        const Watch& afterTransform);
    void runStreaming(const Transform& transform, const Watch& beforeTransform, const Watch& afterTransform);

    SourceFile& source;
    TargetFile& target;
    std::size_t extraRoom;
};
