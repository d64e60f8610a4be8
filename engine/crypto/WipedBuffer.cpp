#include "engine/crypto/WipedBuffer.h"

#include <new>

#include <openssl/crypto.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"

WipedBuffer::WipedBuffer(std::size_t size)
    : length(size)
    , allocated((size + kAlignment - 1) / kAlignment * kAlignment)
{
    bytes = static_cast<unsigned char*>(
        ::operator new(allocated == 0 ? kAlignment : allocated, std::align_val_t { kAlignment }, std::nothrow));
    if (bytes == nullptr)
        throw ExceptionModule(cryptoerrors::kOutOfMemory, L"");
}

WipedBuffer::~WipedBuffer()
{
    OPENSSL_cleanse(bytes, allocated);
    ::operator delete(bytes, std::align_val_t { kAlignment });
}
