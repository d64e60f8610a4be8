#include "engine/crypto/CryptoContext.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoErrors.h"

using namespace cryptoerrors;

namespace {

// CryptoAPI's identifiers, kept so the algorithm a record names maps to the
// same settings as before.
constexpr std::uint32_t kCalgAes128 = 0x660E;
constexpr std::uint32_t kCalgAes256 = 0x6610;
// Upper 16 bits: the key length in bits. The same for both names.
constexpr std::uint32_t kDeriveFlags128 = 0x00800000;

constexpr std::size_t kSha1Length = 20;
constexpr std::size_t kDerivationBlockLength = 64;
constexpr unsigned char kDerivationPad = 0x36;

// Files stream in blocks this large; a multiple of the cipher block, so only
// the very end of a file can leave a partial block.
constexpr std::size_t kIoBlockSize = std::size_t { 1 } << 20;
static_assert(kIoBlockSize % kCipherBlockSize == 0);

constexpr unsigned char kZeroIv[kCipherBlockSize] = {};

// Beyond this the body length of a plain length no longer fits 64 bits.
constexpr std::uint64_t kLargestPlainLength = std::numeric_limits<std::uint64_t>::max() - kFileChunkSize;

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

[[noreturn]] void throwCipherFailure()
{
    throw ExceptionModule(kCipherFailed, openSslErrorText());
}

// A cipher context for AES-128-CBC with the zero IV; padding as asked.
CipherContextPtr startCipher(const EVP_CIPHER* cipher, const unsigned char* key, bool encrypt, bool padding)
{
    CipherContextPtr context(EVP_CIPHER_CTX_new());
    if (!context)
        throwCipherFailure();
    if (EVP_CipherInit_ex2(context.get(), cipher, key, kZeroIv, encrypt ? 1 : 0, nullptr) != 1)
        throwCipherFailure();
    if (EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0) != 1)
        throwCipherFailure();
    return context;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A heap buffer for file blocks that is wiped when released, since it holds
// plain file contents.
class WipedBuffer {
public:
    explicit WipedBuffer(std::size_t size)
        : length(size)
    {
        try {
            bytes = std::make_unique_for_overwrite<unsigned char[]>(size);
        } catch (const std::bad_alloc&) {
            throw ExceptionModule(kOutOfMemory, L"");
        }
    }
    ~WipedBuffer() { OPENSSL_cleanse(bytes.get(), length); }
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;

    unsigned char* data() { return bytes.get(); }
    std::size_t size() const { return length; }

private:
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t length;
};

// Blocks as large as the file needs, up to kIoBlockSize: most files are
// small, and allocating and wiping a whole block for each of them costs far
// more than encrypting them. A file that grows meanwhile is read in more turns.
std::size_t blockSizeFor(std::uint64_t expectedLength)
{
    const std::uint64_t rounded = (expectedLength / kCipherBlockSize + 1) * kCipherBlockSize;
    return static_cast<std::size_t>(std::min<std::uint64_t>(rounded, kIoBlockSize));
}

class SourceFile {
public:
    explicit SourceFile(const nocase_wstring& path)
    {
        // Non-blocking only so that a FIFO cannot hang the open; it is refused below.
        descriptor = ::open(toNarrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (descriptor < 0)
            throw ExceptionModule(kFileNotFound + path, systemErrorText());
        if (::fstat(descriptor, &info) != 0) {
            const int error = errno;
            ::close(descriptor);
            throw ExceptionModule(kFileNotFound + path, systemErrorText(error));
        }
        if (!S_ISREG(info.st_mode)) {
            ::close(descriptor);
            throw ExceptionModule(kFileNotFound + path, S_ISDIR(info.st_mode) ? systemErrorText(EISDIR) : L"");
        }
        // Only a hint to the kernel's read-ahead; a refusal changes nothing.
        (void)::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~SourceFile() { ::close(descriptor); }
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    const struct stat& status() const { return info; }

    // Fills the buffer up to count bytes; fewer only at the end of the file.
    std::size_t read(unsigned char* buffer, std::size_t count)
    {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::read(descriptor, buffer + done, count - done);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                throw ExceptionModule(kReadFailed, systemErrorText());
            }
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

private:
    int descriptor = -1;
    struct stat info {};
};

// The target of a transform. Until commit() succeeds, destroying it removes
// the file, but only when this transform created or truncated it: a file
// that was never touched stays as it was.
class TargetFile {
public:
    TargetFile(const nocase_wstring& targetPath, mode_t createMode, bool exclusive, const struct stat& source)
        : path(toNarrow(targetPath))
    {
        const auto refuse = [&](const nocase_wstring& cause) {
            if (descriptor >= 0)
                ::close(descriptor);
            descriptor = -1;
            throw ExceptionModule(kFileNotFound + targetPath, cause);
        };

        descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, createMode);
        if (descriptor >= 0) {
            ownsFile = true;
            return;
        }
        if (errno != EEXIST || exclusive)
            refuse(systemErrorText());

        // Replacing an existing file: open it without creating, and make sure
        // it is an ordinary file, not a link into some other file and not the
        // source itself before emptying it.
        descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (descriptor < 0)
            refuse(systemErrorText());
        struct stat existing {};
        if (::fstat(descriptor, &existing) != 0)
            refuse(systemErrorText());
        if (!S_ISREG(existing.st_mode))
            refuse(L"");
        if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino)
            refuse(systemErrorText(EEXIST));
        if (::ftruncate(descriptor, 0) != 0)
            refuse(systemErrorText());
        ownsFile = true;
    }

    ~TargetFile()
    {
        if (descriptor >= 0)
            ::close(descriptor);
        // Nothing more can be done about a failing removal while a failure
        // is already on its way to the caller.
        if (ownsFile)
            (void)::unlink(path.c_str());
    }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    void write(const unsigned char* bytes, std::size_t count)
    {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t put = ::write(descriptor, bytes + done, count - done);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                throw ExceptionModule(kWriteFailed, systemErrorText());
            }
            done += static_cast<std::size_t>(put);
        }
    }

    void setMode(mode_t mode)
    {
        if (::fchmod(descriptor, mode) != 0)
            throw ExceptionModule(kWriteFailed, systemErrorText());
    }

    void commit(bool flush)
    {
        if (flush && ::fdatasync(descriptor) != 0)
            throw ExceptionModule(kWriteFailed, systemErrorText());
        const int closed = ::close(descriptor);
        descriptor = -1;
        if (closed != 0)
            throw ExceptionModule(kWriteFailed, systemErrorText());
        ownsFile = false;
    }

private:
    std::string path;
    int descriptor = -1;
    bool ownsFile = false;
};

int toInt(std::size_t count)
{
    return static_cast<int>(count);
}

std::size_t toSize(int count)
{
    return static_cast<std::size_t>(count);
}

// The chain spans the whole file, so the cipher runs without padding and the
// PKCS#7 pad is added by hand: only when the last chunk is a partial one.
std::uint64_t encryptBody(SourceFile& source, TargetFile& target, const EVP_CIPHER* cipher,
    const unsigned char* key, const FileTransformOptions& options)
{
    CipherContextPtr context = startCipher(cipher, key, true, false);
    const std::size_t blockSize = blockSizeFor(static_cast<std::uint64_t>(source.status().st_size));
    WipedBuffer plain(blockSize);
    WipedBuffer sealed(blockSize + 2 * kCipherBlockSize);
    std::uint64_t total = 0;
    int produced = 0;
    for (;;) {
        const std::size_t got = source.read(plain.data(), plain.size());
        if (got == 0)
            break;
        total += got;
        if (EVP_EncryptUpdate(context.get(), sealed.data(), &produced, plain.data(), toInt(got)) != 1)
            throwCipherFailure();
        target.write(sealed.data(), toSize(produced));
        if (options.onBytes)
            options.onBytes(total);
        if (got < plain.size())
            break;
    }
    // A source that changed since it was measured would be recorded with a
    // length its body does not have, and could never be opened again.
    if (options.plainSize && *options.plainSize != total)
        throw ExceptionModule(kReadFailed, L"");

    if (total % kFileChunkSize != 0) {
        const auto padLength = static_cast<unsigned char>(kCipherBlockSize - total % kCipherBlockSize);
        unsigned char pad[kCipherBlockSize];
        std::memset(pad, padLength, padLength);
        if (EVP_EncryptUpdate(context.get(), sealed.data(), &produced, pad, padLength) != 1)
            throwCipherFailure();
        target.write(sealed.data(), toSize(produced));
    }
    if (EVP_EncryptFinal_ex(context.get(), sealed.data(), &produced) != 1)
        throwCipherFailure();
    target.write(sealed.data(), toSize(produced));
    return total;
}

// The plain length decides where the body ends and how long its padding is,
// so a padded last chunk that fills a whole 2000 bytes is told apart from an
// unpadded one. Exactly plainSize bytes are written, after the padding has
// been checked.
std::uint64_t decryptBody(SourceFile& source, TargetFile& target, const EVP_CIPHER* cipher,
    const unsigned char* key, std::uint64_t plainSize, const FileTransformOptions& options)
{
    const std::uint64_t bodyLength = encryptedBodyLength(plainSize);
    const auto padLength = static_cast<unsigned char>(bodyLength - plainSize);

    CipherContextPtr context = startCipher(cipher, key, false, false);
    const std::size_t blockSize = blockSizeFor(bodyLength);
    WipedBuffer sealed(blockSize);
    WipedBuffer plain(blockSize + 2 * kCipherBlockSize);
    std::uint64_t bodyRead = 0;
    std::uint64_t decrypted = 0;
    std::uint64_t written = 0;
    for (;;) {
        const std::size_t got = source.read(sealed.data(), sealed.size());
        if (got == 0)
            break;
        bodyRead += got;
        if (bodyRead > bodyLength)
            throw ExceptionModule(kCipherFailed, L"");
        int produced = 0;
        if (EVP_DecryptUpdate(context.get(), plain.data(), &produced, sealed.data(), toInt(got)) != 1)
            throwCipherFailure();
        const std::size_t count = toSize(produced);
        const std::size_t keep = written < plainSize
            ? static_cast<std::size_t>(std::min<std::uint64_t>(count, plainSize - written))
            : 0;
        for (std::size_t i = keep; i < count; ++i) {
            if (plain.data()[i] != padLength)
                throw ExceptionModule(kCipherFailed, L"");
        }
        target.write(plain.data(), keep);
        written += keep;
        decrypted += count;
        if (options.onBytes && keep > 0)
            options.onBytes(written);
        if (got < sealed.size())
            break;
    }
    int produced = 0;
    if (EVP_DecryptFinal_ex(context.get(), plain.data(), &produced) != 1)
        throwCipherFailure();
    if (bodyRead != bodyLength || decrypted != bodyLength || produced != 0)
        throw ExceptionModule(kCipherFailed, L"");
    return written;
}

} // namespace

struct CryptoContext::Provider {
    EVP_MD* sha1 = nullptr;
    EVP_CIPHER* aes128Cbc = nullptr;

    Provider()
    {
        sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        aes128Cbc = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
        if (sha1 == nullptr || aes128Cbc == nullptr) {
            release();
            throw ExceptionModule(kProviderFailed, openSslErrorText());
        }
    }
    ~Provider() { release(); }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    void release()
    {
        EVP_MD_free(sha1);
        EVP_CIPHER_free(aes128Cbc);
        sha1 = nullptr;
        aes128Cbc = nullptr;
    }
};

std::string toHex(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::string fromHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        throw ExceptionModule(kCorrupted, L"");
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            throw ExceptionModule(kCorrupted, L"");
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

std::uint64_t encryptedBodyLength(std::uint64_t plainLength)
{
    const std::uint64_t lastChunk = plainLength % kFileChunkSize;
    if (lastChunk == 0)
        return plainLength;
    const std::uint64_t paddedLastChunk = (lastChunk / kCipherBlockSize + 1) * kCipherBlockSize;
    return plainLength - lastChunk + paddedLastChunk;
}

CryptoContext::CryptoContext(const nocase_wstring& /*containerName*/)
    : provider(std::make_unique<Provider>())
    , algorithmId(kCalgAes128)
    , deriveFlags(kDeriveFlags128)
{
}

CryptoContext::~CryptoContext()
{
    forgetKey();
}

void CryptoContext::forgetKey()
{
    OPENSSL_cleanse(key.data(), key.size());
    OPENSSL_cleanse(hashValue.data(), hashValue.size());
    keyReady = false;
}

void CryptoContext::setAlgorithm(const std::string& name)
{
    if (name == kAlgorithmAes128)
        algorithmId = kCalgAes128;
    else if (name == kAlgorithmAes256)
        algorithmId = kCalgAes256;
    else
        throw ExceptionModule(kUnsupportedAlgorithm, L"");
    // Both names ask for 128-bit keys; vaults written so far depend on it.
    deriveFlags = kDeriveFlags128;
}

std::string CryptoContext::algorithm() const
{
    return algorithmId == kCalgAes256 ? kAlgorithmAes256 : kAlgorithmAes128;
}

void CryptoContext::deriveKey(const std::string& text)
{
    forgetKey();

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &digestLength, provider->sha1, nullptr) != 1
        || digestLength != kSha1Length)
        throw ExceptionModule(kHashFailed, openSslErrorText());
    std::copy_n(digest, kSha1Length, hashValue.begin());

    unsigned char block[kDerivationBlockLength];
    std::memset(block, kDerivationPad, sizeof block);
    for (std::size_t i = 0; i < kSha1Length; ++i)
        block[i] ^= digest[i];
    const bool derived = EVP_Digest(block, sizeof block, digest, &digestLength, provider->sha1, nullptr) == 1
        && digestLength == kSha1Length;
    OPENSSL_cleanse(block, sizeof block);
    if (!derived) {
        OPENSSL_cleanse(digest, sizeof digest);
        forgetKey();
        throw ExceptionModule(kKeyFailed, openSslErrorText());
    }

    // The key length comes from the flags; a 128-bit key never needs the
    // second (0x5C) block of the derivation.
    static_assert((kDeriveFlags128 >> 16) / 8 == std::tuple_size_v<decltype(key)>);
    std::copy_n(digest, key.size(), key.begin());
    OPENSSL_cleanse(digest, sizeof digest);
    keyReady = true;
}

std::string CryptoContext::secureHash(const std::string& text)
{
    deriveKey(text);
    return toHex(std::string_view(reinterpret_cast<const char*>(hashValue.data()), hashValue.size()));
}

std::string CryptoContext::encryptText(const std::string& keyText, const std::string& plainText)
{
    deriveKey(keyText);
    CipherContextPtr context = startCipher(provider->aes128Cbc, key.data(), true, true);
    std::string sealed(plainText.size() + kCipherBlockSize, '\0');
    auto* out = reinterpret_cast<unsigned char*>(sealed.data());
    int length = 0;
    int finalLength = 0;
    if (EVP_EncryptUpdate(context.get(), out, &length, reinterpret_cast<const unsigned char*>(plainText.data()),
            toInt(plainText.size()))
            != 1
        || EVP_EncryptFinal_ex(context.get(), out + length, &finalLength) != 1)
        throwCipherFailure();
    sealed.resize(toSize(length + finalLength));
    return toHex(sealed);
}

std::string CryptoContext::decryptText(const std::string& keyText, const std::string& hexText)
{
    // Checked before any key is derived: a damaged text leaves the context alone.
    const std::string sealed = fromHex(hexText);
    deriveKey(keyText);
    CipherContextPtr context = startCipher(provider->aes128Cbc, key.data(), false, true);
    std::string plain(sealed.size() + kCipherBlockSize, '\0');
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    int length = 0;
    int finalLength = 0;
    if (EVP_DecryptUpdate(context.get(), out, &length, reinterpret_cast<const unsigned char*>(sealed.data()),
            toInt(sealed.size()))
            != 1
        || EVP_DecryptFinal_ex(context.get(), out + length, &finalLength) != 1) {
        OPENSSL_cleanse(plain.data(), plain.size());
        throwCipherFailure();
    }
    plain.resize(toSize(length + finalLength));
    // The text was sealed as a zero-terminated string.
    const std::size_t end = plain.find('\0');
    if (end != std::string::npos) {
        OPENSSL_cleanse(plain.data() + end, plain.size() - end);
        plain.resize(end);
    }
    return plain;
}

std::uint64_t CryptoContext::transformFile(const nocase_wstring& source, const nocase_wstring& target, bool encrypt,
    const FileTransformOptions& options)
{
    if (!keyReady)
        throw ExceptionModule(kCipherFailed, L"");
    // Only the plain length tells where a body's padding lies (see decryptBody).
    if (!encrypt && (!options.plainSize || *options.plainSize > kLargestPlainLength))
        throw ExceptionModule(kCipherFailed, L"");

    SourceFile input(source);
    if (!encrypt && static_cast<std::uint64_t>(input.status().st_size) != encryptedBodyLength(*options.plainSize))
        throw ExceptionModule(kCipherFailed, L"");

    // Encrypted bodies are private, also when they replace an existing file;
    // what is decrypted belongs to the user and gets the umask's say.
    TargetFile output(target, encrypt ? 0600 : 0666, options.exclusive, input.status());
    if (encrypt)
        output.setMode(0600);
    const std::uint64_t done = encrypt
        ? encryptBody(input, output, provider->aes128Cbc, key.data(), options)
        : decryptBody(input, output, provider->aes128Cbc, key.data(), *options.plainSize, options);
    output.commit(options.flush);
    return done;
}
