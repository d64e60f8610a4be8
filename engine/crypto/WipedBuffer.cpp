#include "engine/crypto/WipedBuffer.h"

#include <algorithm>
#include <new>

#include <openssl/crypto.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"

WipedBuffer::WipedBuffer(std::size_t size)
    : length(size)
    , allocated((size + kAlignment - 1) / kAlignment * kAlignment)
    , toWipe(allocated)
{
    bytes = static_cast<unsigned char*>(
        ::operator new(allocated == 0 ? kAlignment : allocated, std::align_val_t { kAlignment }, std::nothrow));
    if (bytes == nullptr)
        throw ExceptionModule(cryptoerrors::kOutOfMemory, L"");
}

WipedBuffer::~WipedBuffer()
{
    OPENSSL_cleanse(bytes, toWipe);
    ::operator delete(bytes, std::align_val_t { kAlignment });
}

void WipedBuffer::wipeOnlyFirst(std::size_t written)
{
    toWipe = std::min(written, allocated);
}
