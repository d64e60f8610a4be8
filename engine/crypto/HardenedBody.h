#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/Strings.h"

// A file body of a hardened vault (docs/security.md has the full layout):
//   header, 32 bytes:  marker "KVHBODY" 0x01 | key id (16) | plain size (u64 LE)
//   chunks:            AES-256-GCM of each 64 KiB of the plain file (the last
//                      one shorter, or empty for an empty file), each
//                      followed by its 16-byte tag.
// Chunk n uses the nonce n as 11 bytes big-endian followed by 0x01 for the
// last chunk and 0x00 for the others, and authenticates the whole header:
// a changed byte, a chunk moved, dropped or added and a body cut short are
// all refused. The key id (the first 16 bytes of SHA-256 of kBodyKeyIdLabel
// followed by the file key) tells a body that belongs to another key.
inline constexpr std::string_view kHardenedBodyMarker{"KVHBODY\x01", 8};
inline constexpr std::string_view kBodyKeyIdLabel = "KORVELIN Safehold body key id 1";
inline constexpr std::size_t kBodyKeyIdLength = 16;
inline constexpr std::size_t kHardenedBodyHeaderLength = 32;
inline constexpr std::size_t kHardenedChunkSize = 65536;
inline constexpr std::size_t kHardenedChunkTagLength = 16;

// What a reader says when a body is refused; followed by the reason and the
// body's path (or the name of the entry it belongs to).
inline constexpr const wchar_t* kHardenedBodyRefused = L"damaged: ";

struct HardenedBodyOptions {
    // Create the target with O_EXCL: fail if it exists.
    bool exclusive = true;
    // fdatasync the target before returning.
    bool flush = true;
    // Decrypting: the plain size the body must have (its record's).
    // Encrypting: if given, the source must hold exactly this many bytes.
    std::optional<std::uint64_t> plainSize;
    // The plain bytes done so far; it may throw to cancel.
    std::function<void(std::uint64_t)> onBytes;
};

struct FileBlock;

// Turns the plain bytes of a pipeline's blocks into a hardened body in place:
// the header before the first block's chunks, each chunk followed by its tag.
// Every block but the last must hold whole chunks (the pipeline's blocks
// do), and the blocks together exactly plainLength bytes, or it throws.
class HardenedBodySealer {
public:
    // What sealing may add to a block of the pipeline's largest size.
    static const std::size_t extraRoom;

    HardenedBodySealer(const std::string& fileKey, std::uint64_t plainLength);
    ~HardenedBodySealer();
    HardenedBodySealer(const HardenedBodySealer&) = delete;
    HardenedBodySealer& operator=(const HardenedBodySealer&) = delete;

    void seal(FileBlock& block);
    // The plain bytes sealed so far.
    [[nodiscard]] std::uint64_t sealed() const { return total; }

private:
    struct Cipher;

    std::unique_ptr<Cipher> cipher;
    std::uint64_t plainLength;
    std::uint64_t total = 0;
    std::uint64_t index = 0;
    bool first = true;
};

// The reason in a refusal's message ("damaged: REASON: PATH") for the body
// at path; empty when the message gives none (a standard body's).
[[nodiscard]] std::string refusalReason(const std::string& message, const std::string& path);

// The body length of a plain length.
[[nodiscard]] std::uint64_t hardenedBodyLength(std::uint64_t plainLength);
// The 16-byte key id of a 32-byte file key.
[[nodiscard]] std::string bodyKeyId(const std::string& fileKey);

// Encrypts source into target under the 32-byte file key; returns the plain
// bytes. On failure the target is removed and the source never changed.
std::uint64_t encryptHardenedBody(const nocase_wstring& source, const nocase_wstring& target,
                                  const std::string& fileKey, const HardenedBodyOptions& options = {});
// Decrypts source into target; returns the plain bytes. Nothing is kept of a
// body that is refused: the message starts with kHardenedBodyRefused and
// says why (a changed byte, a missing or added chunk, cut short, another
// file's body).
std::uint64_t decryptHardenedBody(const nocase_wstring& source, const nocase_wstring& target,
                                  const std::string& fileKey, const HardenedBodyOptions& options = {});
