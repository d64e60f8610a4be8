#include "engine/crypto/HardenedBody.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/SourceFile.h"
#include "engine/crypto/TargetFile.h"
#include "engine/crypto/WipedBuffer.h"

namespace {

constexpr std::size_t kFrameLength = kHardenedChunkSize + kHardenedChunkTagLength;
constexpr std::size_t kNonceLength = 12;
// The largest block the pipeline hands over (see BlockPipeline).
constexpr std::size_t kLargestBlock = std::size_t{4} << 20;
constexpr std::size_t kEncryptRoom =
    kHardenedBodyHeaderLength + (kLargestBlock / kHardenedChunkSize + 1) * kHardenedChunkTagLength;

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

[[noreturn]] void cipherFailure()
{
    throw ExceptionModule(cryptoerrors::kCipherFailed, cryptoerrors::openSslErrorText());
}

[[noreturn]] void refuse(const wchar_t* reason, const nocase_wstring& path)
{
    throw ExceptionModule(nocase_wstring(kHardenedBodyRefused) + reason + L": " + path, L"");
}

std::uint64_t chunkCount(std::uint64_t plainLength)
{
    return plainLength == 0 ? 1 : (plainLength + kHardenedChunkSize - 1) / kHardenedChunkSize;
}

void nonceOf(std::uint64_t index, bool last, unsigned char* nonce)
{
    std::memset(nonce, 0, kNonceLength);
    for (int i = 0; i < 8; ++i)
        nonce[10 - i] = static_cast<unsigned char>(index >> (8 * i));
    nonce[11] = last ? 1 : 0;
}

void putLittleEndian(std::uint64_t value, unsigned char* out)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

class ChunkCipher {
public:
    ChunkCipher(const std::string& fileKey, const unsigned char* header, bool encrypt)
        : context(EVP_CIPHER_CTX_new())
        , aad(header)
        , encrypting(encrypt)
    {
        if (fileKey.size() != 32)
            throw ExceptionModule(cryptoerrors::kKeyFailed, L"");
        const auto* key = reinterpret_cast<const unsigned char*>(fileKey.data());
        if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
            cipherFailure();
    }

    // In place; the tag goes to tag (written or checked). False: the chunk
    // does not authenticate.
    bool run(std::uint64_t index, bool last, unsigned char* data, std::size_t length, unsigned char* tag)
    {
        unsigned char nonce[kNonceLength];
        nonceOf(index, last, nonce);
        int produced = 0;
        if (EVP_CipherInit_ex(context.get(), nullptr, nullptr, nullptr, nonce, -1) != 1
            || EVP_CipherUpdate(context.get(), nullptr, &produced, aad, kHardenedBodyHeaderLength) != 1)
            cipherFailure();
        if (length > 0 && EVP_CipherUpdate(context.get(), data, &produced, data, static_cast<int>(length)) != 1)
            cipherFailure();
        if (!encrypting
            && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kHardenedChunkTagLength, tag) != 1)
            cipherFailure();
        int finished = 0;
        if (EVP_CipherFinal_ex(context.get(), data + length, &finished) != 1) {
            if (encrypting)
                cipherFailure();
            return false;
        }
        if (encrypting
            && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kHardenedChunkTagLength, tag) != 1)
            cipherFailure();
        return true;
    }

private:
    CipherPtr context;
    const unsigned char* aad;
    bool encrypting;
};

// The header of the body at path, read on its own before the body streams.
std::string readHeader(const nocase_wstring& path, std::uint64_t& fileLength)
{
    // Non-blocking so that a named pipe in the body's place cannot hang the
    // open; it is refused below.
    const int descriptor = ::open(toNarrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        throw ExceptionModule(cryptoerrors::kFileNotFound + path, L"");
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        throw ExceptionModule(cryptoerrors::kFileNotFound + path, L"");
    }
    std::string header(kHardenedBodyHeaderLength, '\0');
    const ssize_t got = ::pread(descriptor, header.data(), header.size(), 0);
    const off_t end = ::lseek(descriptor, 0, SEEK_END);
    ::close(descriptor);
    if (got < 0 || end < 0)
        throw ExceptionModule(cryptoerrors::kReadFailed, L"");
    fileLength = static_cast<std::uint64_t>(end);
    if (static_cast<std::size_t>(got) < header.size())
        refuse(L"the body is cut short", path);
    return header;
}

} // namespace

std::string refusalReason(const std::string& message, const std::string& path)
{
    const std::string prefix = toNarrow(kHardenedBodyRefused);
    const std::size_t end = message.rfind(": " + path);
    if (message.rfind(prefix, 0) != 0 || end == std::string::npos || end <= prefix.size())
        return {};
    return message.substr(prefix.size(), end - prefix.size());
}

std::uint64_t hardenedBodyLength(std::uint64_t plainLength)
{
    return kHardenedBodyHeaderLength + plainLength + chunkCount(plainLength) * kHardenedChunkTagLength;
}

std::string bodyKeyId(const std::string& fileKey)
{
    std::string input(kBodyKeyIdLabel);
    input += fileKey;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    std::fill(input.begin(), input.end(), '\0');
    return std::string(reinterpret_cast<const char*>(digest), kBodyKeyIdLength);
}

struct HardenedBodySealer::Cipher {
    Cipher(const std::string& fileKey, std::uint64_t plainLength)
        : chunks(fileKey, header, true)
    {
        std::memcpy(header, kHardenedBodyMarker.data(), kHardenedBodyMarker.size());
        const std::string keyId = bodyKeyId(fileKey);
        std::memcpy(header + 8, keyId.data(), kBodyKeyIdLength);
        putLittleEndian(plainLength, header + 24);
    }

    // The chunks authenticate the header, which ChunkCipher reads from here.
    unsigned char header[kHardenedBodyHeaderLength] {};
    ChunkCipher chunks;
};

const std::size_t HardenedBodySealer::extraRoom = kEncryptRoom;

HardenedBodySealer::HardenedBodySealer(const std::string& fileKey, std::uint64_t plainLength)
    : cipher(std::make_unique<Cipher>(fileKey, plainLength))
    , plainLength(plainLength)
{
}

HardenedBodySealer::~HardenedBodySealer() = default;

void HardenedBodySealer::seal(FileBlock& block)
{
    total += block.length;
    // The header says how long the file is: one that grew or shrank since it
    // was measured is refused, never recorded wrongly.
    if (total > plainLength || (block.last && total != plainLength))
        throw ExceptionModule(cryptoerrors::kReadFailed, L"");
    if (!block.last && block.length % kHardenedChunkSize != 0)
        throw ExceptionModule(cryptoerrors::kCipherFailed, L"");
    const std::size_t chunks =
        block.length == 0 ? (first ? 1 : 0) : (block.length + kHardenedChunkSize - 1) / kHardenedChunkSize;
    const std::size_t offset = first ? kHardenedBodyHeaderLength : 0;
    if (offset + block.length + chunks * kHardenedChunkTagLength > block.capacity)
        throw ExceptionModule(cryptoerrors::kOutOfMemory, L"");
    // Each chunk is moved to where it goes, last one first, and encrypted
    // where it lies; the tags fill the gaps.
    for (std::size_t k = chunks; k-- > 0;) {
        const std::size_t from = k * kHardenedChunkSize;
        const std::size_t length = std::min(kHardenedChunkSize, block.length - from);
        unsigned char* at = block.data + offset + k * kFrameLength;
        std::memmove(at, block.data + from, length);
        // Known from the measured length: a file of whole blocks ends with
        // an empty block after its last chunk.
        const bool last = index + k + 1 == chunkCount(plainLength);
        (void)cipher->chunks.run(index + k, last, at, length, at + length);
    }
    if (first)
        std::memcpy(block.data, cipher->header, kHardenedBodyHeaderLength);
    index += chunks;
    block.length = offset + block.length + chunks * kHardenedChunkTagLength;
    first = false;
    if (block.last && index != chunkCount(plainLength))
        throw ExceptionModule(cryptoerrors::kReadFailed, L"");
}

std::uint64_t encryptHardenedBody(const nocase_wstring& source, const nocase_wstring& target,
                                  const std::string& fileKey, const HardenedBodyOptions& options)
{
    SourceFile input(source);
    const auto plainLength = static_cast<std::uint64_t>(input.status().st_size);
    if (options.plainSize && *options.plainSize != plainLength)
        throw ExceptionModule(cryptoerrors::kReadFailed, L"");
    HardenedBodySealer sealer(fileKey, plainLength);
    TargetFile output(target, 0600, options.exclusive, input.status());
    output.setMode(0600);
    BlockPipeline pipeline(input, output, HardenedBodySealer::extraRoom);
    pipeline.run(plainLength, [&](FileBlock& block) {
        sealer.seal(block);
        if (options.onBytes && sealer.sealed() > 0)
            options.onBytes(sealer.sealed());
    });
    output.commit(options.flush);
    return sealer.sealed();
}

std::uint64_t decryptHardenedBody(const nocase_wstring& source, const nocase_wstring& target,
                                  const std::string& fileKey, const HardenedBodyOptions& options)
{
    std::uint64_t fileLength = 0;
    const std::string header = readHeader(source, fileLength);
    const auto* headerBytes = reinterpret_cast<const unsigned char*>(header.data());
    if (header.compare(0, kHardenedBodyMarker.size(), kHardenedBodyMarker) != 0)
        refuse(L"this is not a body of a hardened vault", source);
    if (header.compare(8, kBodyKeyIdLength, bodyKeyId(fileKey)) != 0)
        refuse(L"the body belongs to another file", source);
    const std::uint64_t plainLength = getLittleEndian(headerBytes + 24);
    if (options.plainSize && *options.plainSize != plainLength)
        refuse(L"the body's size differs from its record", source);
    if (plainLength > (std::uint64_t{1} << 62) || fileLength < hardenedBodyLength(plainLength))
        refuse(L"the body is cut short or a chunk is missing", source);
    if (fileLength > hardenedBodyLength(plainLength))
        refuse(L"the body holds more than its chunks", source);
    ChunkCipher cipher(fileKey, headerBytes, false);
    const std::uint64_t chunks = chunkCount(plainLength);

    SourceFile input(source);
    TargetFile output(target, 0666, options.exclusive, input.status());
    // Frames cross the pipeline's blocks: what is left of one waits here.
    WipedBuffer frame(kFrameLength);
    std::size_t held = 0;
    std::uint64_t skipHeader = kHardenedBodyHeaderLength;
    std::uint64_t index = 0;
    std::uint64_t written = 0;
    std::vector<unsigned char> plain;
    plain.reserve(kLargestBlock + kFrameLength);
    BlockPipeline pipeline(input, output, kFrameLength);
    pipeline.run(fileLength, [&](FileBlock& block) {
        plain.clear();
        std::size_t at = 0;
        if (skipHeader > 0) {
            const auto skip = static_cast<std::size_t>(std::min<std::uint64_t>(skipHeader, block.length));
            at += skip;
            skipHeader -= skip;
        }
        while (at < block.length || (block.last && held > 0) || (block.last && index < chunks)) {
            const bool last = index + 1 == chunks;
            const std::size_t want =
                (last ? static_cast<std::size_t>(plainLength - index * kHardenedChunkSize) : kHardenedChunkSize)
                + kHardenedChunkTagLength;
            const std::size_t take = std::min(want - held, block.length - at);
            std::memcpy(frame.data() + held, block.data + at, take);
            held += take;
            at += take;
            if (held < want) {
                if (block.last)
                    refuse(L"the body is cut short or a chunk is missing", source);
                break;
            }
            const std::size_t length = want - kHardenedChunkTagLength;
            if (index >= chunks)
                refuse(L"the body holds more than its chunks", source);
            if (!cipher.run(index, last, frame.data(), length, frame.data() + length))
                refuse(L"a chunk fails its check: a byte was changed or chunks were reordered", source);
            plain.insert(plain.end(), frame.data(), frame.data() + length);
            held = 0;
            ++index;
            if (last && at < block.length)
                refuse(L"the body holds more than its chunks", source);
            if (last)
                break;
        }
        // The plain bytes of the frames completed here replace the block.
        if (plain.size() > block.capacity)
            throw ExceptionModule(cryptoerrors::kOutOfMemory, L"");
        std::memcpy(block.data, plain.data(), plain.size());
        block.length = plain.size();
        written += plain.size();
        std::fill(plain.begin(), plain.end(), 0);
        if (options.onBytes && block.length > 0)
            options.onBytes(written);
    });
    if (index != chunks || written != plainLength)
        refuse(L"the body is cut short or a chunk is missing", source);
    output.commit(options.flush);
    return written;
}
