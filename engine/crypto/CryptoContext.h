#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/Strings.h"

struct FileBlock;

// Encrypted file bodies carry no header, hash or length: they are one
// AES-128-CBC chain (zero IV) over the whole plain file, cut into chunks of
// kFileChunkSize plain bytes. Only a last chunk of 1..1999 bytes is padded
// (PKCS#7), so a plain length that is a multiple of the chunk size, zero
// included, gives a body of exactly that length.
inline constexpr std::uint64_t kFileChunkSize = 2000;
inline constexpr std::uint64_t kCipherBlockSize = 16;

inline constexpr const char* kAlgorithmAes128 = "CALG_AES_128";
inline constexpr const char* kAlgorithmAes256 = "CALG_AES_256";

struct FileTransformOptions {
    // Required when decrypting: the plain length the body must decode to.
    // When encrypting, if given, the source must hold exactly this many bytes.
    std::optional<std::uint64_t> plainSize;
    // Create the target with O_EXCL: fail if it exists.
    bool exclusive = false;
    // fdatasync the target before returning.
    bool flush = true;
    // The caller knows that the umask takes no bit of 0600, so a new
    // encrypted target created with that mode needs no change of mode.
    bool umaskKeepsPrivateMode = false;
    // Called with the plain bytes done so far; it may throw to cancel the
    // transform, which then cleans up like any other failure.
    std::function<void(std::uint64_t)> onBytes;
    // The file key of the body's integrity tag (BodyTag). When set, the tag
    // of the encrypted body (written when encrypting, read when decrypting)
    // is computed while the file streams and left in computedTag.
    const std::string* tagFileKey = nullptr;
    std::string* computedTag = nullptr;
    // Decrypting with tagFileKey: the tag the body must have. A body of the
    // right length whose tag differs, or whose padding fails, is refused with
    // "damaged: " and the source path, and its target removed.
    std::optional<std::string> expectedTag;
    // Decrypting: the plain bytes of each block pass through this before
    // they are written, and may grow by resealRoom bytes (a body re-encrypted
    // into another form without a plain copy on the disk). The target is
    // then private, like every body.
    std::function<void(FileBlock&)> resealBlock;
    std::size_t resealRoom = 0;
};

// Lower-case hex, two digits per byte, no separators.
[[nodiscard]] std::string toHex(std::string_view bytes);
// Accepts both cases; an odd length or a non-hex digit is reported as
// corrupted data.
[[nodiscard]] std::string fromHex(std::string_view text);

// The body length the chunk rule gives for a plain length (that is at least
// 2000 below 2^64; transformFile refuses larger ones).
[[nodiscard]] std::uint64_t encryptedBodyLength(std::uint64_t plainLength);

// Hashing, key derivation, sealing of short texts and the chunked encryption
// of file bodies. Every result is byte-identical to what the vault's CryptoAPI
// builds wrote, since both read the same vaults. One object per use; every
// operation that derives a key replaces the previous one.
class CryptoContext {
public:
    // The container name only mattered to CryptoAPI's key store; it is kept
    // for callers and otherwise ignored.
    explicit CryptoContext(const nocase_wstring& containerName = L"Korvelin");
    ~CryptoContext();

    CryptoContext(const CryptoContext&) = delete;
    CryptoContext& operator=(const CryptoContext&) = delete;

    // "CALG_AES_128" or "CALG_AES_256", compared exactly. Both ask for
    // 128-bit keys, so every key in use is AES-128 whatever the name says.
    void setAlgorithm(const std::string& name);
    [[nodiscard]] std::string algorithm() const;

    // CryptoAPI's derivation for a SHA-1 base hash: H = SHA-1(text), XORed
    // into 64 bytes of 0x36; the key is the first 16 bytes of SHA-1 of that.
    void deriveKey(const std::string& text);
    [[nodiscard]] bool hasKey() const { return keyReady; }

    // Lower-case hex SHA-1 of the text's bytes (derives a key from the text,
    // as the hash is read from the derivation).
    [[nodiscard]] std::string secureHash(const std::string& text);

    // Hex of AES-128-CBC (zero IV, PKCS#7) of the plain text under a key
    // derived from keyText.
    [[nodiscard]] std::string encryptText(const std::string& keyText, const std::string& plainText);
    // The reverse; the result ends at its first zero byte.
    [[nodiscard]] std::string decryptText(const std::string& keyText, const std::string& hexText);

    // Encrypts or decrypts a whole file with the key already derived, in
    // constant memory. Returns the plain bytes processed (read when
    // encrypting, written when decrypting). On any failure the target is
    // removed unless it existed before and was never opened, and the source
    // is never changed. Encrypted targets are private (0600); decrypted ones
    // get the ordinary 0666 under the umask. Decrypting requires
    // options.plainSize, since the body alone cannot tell a padded last
    // chunk that fills 2000 bytes from an unpadded one.
    std::uint64_t transformFile(const nocase_wstring& source, const nocase_wstring& target, bool encrypt,
        const FileTransformOptions& options = {});

private:
    struct Provider;

    void forgetKey();

    // Fetched once for the whole program: every file's contexts (sealing,
    // opening and transforming its key) would otherwise look the algorithms
    // up again in OpenSSL's tables, a lock and a search each.
    static const Provider& sharedProvider();

    const Provider& provider;
    std::array<unsigned char, 20> hashValue {};
    std::array<unsigned char, 16> key {};
    bool keyReady = false;
    std::uint32_t algorithmId;
    std::uint32_t deriveFlags;
};
