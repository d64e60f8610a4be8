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
#include "engine/crypto/BlockPipeline.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoErrors.h"
#include "engine/crypto/EncryptAndTag.h"
#include "engine/crypto/SourceFile.h"
#include "engine/crypto/TargetFile.h"

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
// With oneCipherPass, the cipher and the body's tag run in one pass (and
// bodyWatch is empty); otherwise OpenSSL's cipher does the encrypting.
std::uint64_t encryptBody(SourceFile& source, TargetFile& target, const EVP_CIPHER* cipher,
    const unsigned char* key, const FileTransformOptions& options, const BlockPipeline::Watch& bodyWatch,
    EncryptAndTag* oneCipherPass)
{
    CipherContextPtr context = oneCipherPass != nullptr ? nullptr : startCipher(cipher, key, true, false);
    std::uint64_t total = 0;
    BlockPipeline pipeline(source, target, 2 * kCipherBlockSize);
    pipeline.run(static_cast<std::uint64_t>(source.status().st_size), [&](FileBlock& block) {
        total += block.length;
        std::size_t length = block.length;
        if (block.last) {
            // A source that changed since it was measured would be recorded
            // with a length its body does not have, and could never be opened again.
            if (options.plainSize && *options.plainSize != total)
                throw ExceptionModule(kReadFailed, L"");
            if (total % kFileChunkSize != 0) {
                const auto padLength = static_cast<unsigned char>(kCipherBlockSize - total % kCipherBlockSize);
                std::memset(block.data + length, padLength, padLength);
                length += padLength;
            }
        }
        if (oneCipherPass != nullptr) {
            oneCipherPass->encrypt(block.data, length);
            block.length = length;
            if (options.onBytes && block.length > 0)
                options.onBytes(total);
            return;
        }
        // In place: the output of whole cipher blocks is exactly as long as the input.
        int produced = 0;
        if (EVP_EncryptUpdate(context.get(), block.data, &produced, block.data, toInt(length)) != 1)
            throwCipherFailure();
        int finished = 0;
        if (block.last && EVP_EncryptFinal_ex(context.get(), block.data + produced, &finished) != 1)
            throwCipherFailure();
        block.length = toSize(produced + finished);
        if (options.onBytes && block.length > 0)
            options.onBytes(total);
    }, {}, bodyWatch);
    return total;
}

// The plain length decides where the body ends and how long its padding is,
// so a padded last chunk that fills a whole 2000 bytes is told apart from an
// unpadded one. Exactly plainSize bytes are written, after the padding has
// been checked.
std::uint64_t decryptBody(SourceFile& source, TargetFile& target, const EVP_CIPHER* cipher,
    const unsigned char* key, std::uint64_t plainSize, const FileTransformOptions& options,
    const BlockPipeline::Watch& bodyWatch)
{
    const std::uint64_t bodyLength = encryptedBodyLength(plainSize);
    const auto padLength = static_cast<unsigned char>(bodyLength - plainSize);

    CipherContextPtr context = startCipher(cipher, key, false, false);
    std::uint64_t bodyRead = 0;
    std::uint64_t decrypted = 0;
    std::uint64_t written = 0;
    BlockPipeline pipeline(source, target, std::max<std::size_t>(2 * kCipherBlockSize, options.resealRoom));
    pipeline.run(bodyLength, [&](FileBlock& block) {
        bodyRead += block.length;
        if (bodyRead > bodyLength)
            throw ExceptionModule(kCipherFailed, L"");
        // In place: without padding, whole cipher blocks give exactly as many bytes.
        int produced = 0;
        if (EVP_DecryptUpdate(context.get(), block.data, &produced, block.data, toInt(block.length)) != 1)
            throwCipherFailure();
        const std::size_t count = toSize(produced);
        const std::size_t keep = written < plainSize
            ? static_cast<std::size_t>(std::min<std::uint64_t>(count, plainSize - written))
            : 0;
        for (std::size_t i = keep; i < count; ++i) {
            if (block.data[i] != padLength)
                throw ExceptionModule(kCipherFailed, L"");
        }
        written += keep;
        decrypted += count;
        block.length = keep;
        if (block.last) {
            unsigned char rest[2 * kCipherBlockSize];
            int finished = 0;
            if (EVP_DecryptFinal_ex(context.get(), rest, &finished) != 1)
                throwCipherFailure();
            if (bodyRead != bodyLength || decrypted != bodyLength || finished != 0)
                throw ExceptionModule(kCipherFailed, L"");
        }
        if (options.resealBlock)
            options.resealBlock(block);
        if (options.onBytes && keep > 0)
            options.onBytes(written);
    }, bodyWatch);
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

const CryptoContext::Provider& CryptoContext::sharedProvider()
{
    // A fetch that fails throws, and the next context tries again.
    static const Provider shared;
    return shared;
}

CryptoContext::CryptoContext(const nocase_wstring& /*containerName*/)
    : provider(sharedProvider())
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
    if (EVP_Digest(text.data(), text.size(), digest, &digestLength, provider.sha1, nullptr) != 1
        || digestLength != kSha1Length)
        throw ExceptionModule(kHashFailed, openSslErrorText());
    std::copy_n(digest, kSha1Length, hashValue.begin());

    unsigned char block[kDerivationBlockLength];
    std::memset(block, kDerivationPad, sizeof block);
    for (std::size_t i = 0; i < kSha1Length; ++i)
        block[i] ^= digest[i];
    const bool derived = EVP_Digest(block, sizeof block, digest, &digestLength, provider.sha1, nullptr) == 1
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
    CipherContextPtr context = startCipher(provider.aes128Cbc, key.data(), true, true);
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
    CipherContextPtr context = startCipher(provider.aes128Cbc, key.data(), false, true);
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

    // The tag is computed from the encrypted bytes as they pass: written
    // ones when encrypting, read ones when decrypting.
    std::unique_ptr<BodyTag> tag;
    std::unique_ptr<EncryptAndTag> oneCipherPass;
    BlockPipeline::Watch bodyWatch;
    if (options.tagFileKey != nullptr && encrypt && EncryptAndTag::usable()) {
        oneCipherPass = std::make_unique<EncryptAndTag>(key.data(), *options.tagFileKey);
    } else if (options.tagFileKey != nullptr) {
        tag = std::make_unique<BodyTag>(*options.tagFileKey);
        bodyWatch = [&tag](const unsigned char* data, std::size_t length) { tag->update(data, length); };
    }

    // Encrypted bodies are private, also when they replace an existing file;
    // what is decrypted belongs to the user and gets the umask's say.
    const bool privateTarget = encrypt || options.resealBlock;
    TargetFile output(target, privateTarget ? 0600 : 0666, options.exclusive, input.status());
    if (privateTarget && (!output.isNew() || !options.umaskKeepsPrivateMode))
        output.setMode(0600);
    std::uint64_t done = 0;
    if (encrypt) {
        done = encryptBody(input, output, provider.aes128Cbc, key.data(), options, bodyWatch, oneCipherPass.get());
    } else {
        try {
            done = decryptBody(input, output, provider.aes128Cbc, key.data(), *options.plainSize, options, bodyWatch);
        } catch (const ExceptionModule& failure) {
            // A body of the right length that has a tag and does not decrypt
            // (bad padding: a byte changed near its end) is damaged as surely
            // as one whose tag differs.
            if (tag && options.expectedTag && failure.getMessage() == toNarrow(kCipherFailed))
                throw ExceptionModule(kBodyDamaged + source, L"");
            throw;
        }
    }
    if (oneCipherPass && options.computedTag != nullptr)
        *options.computedTag = oneCipherPass->finishTag();
    if (tag) {
        const std::string computed = tag->finish();
        // Checked before the target is kept: an altered body never
        // reaches its destination.
        if (!encrypt && options.expectedTag && !sameTag(computed, *options.expectedTag))
            throw ExceptionModule(kBodyDamaged + source, L"");
        if (options.computedTag != nullptr)
            *options.computedTag = computed;
    }
    output.commit(options.flush);
    return done;
}
