#include "engine/crypto/DirectTransfer.h"

#include <fcntl.h>

#include "engine/crypto/WipedBuffer.h"

namespace directtransfer {

bool fits(const unsigned char* buffer, std::size_t count, std::uint64_t offset)
{
    constexpr std::size_t alignment = WipedBuffer::kAlignment;
    return reinterpret_cast<std::uintptr_t>(buffer) % alignment == 0 && count % alignment == 0
        && offset % alignment == 0;
}

bool set(int descriptor, bool direct)
{
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0)
        return false;
    return ::fcntl(descriptor, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

} // namespace directtransfer
