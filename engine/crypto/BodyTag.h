#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/Strings.h"

// The integrity tag of an encrypted file body, kept in the vault's integrity
// table beside its row. The tag key is derived from the file's own key, so
// only someone who can open the file key (the Vault or package password) can
// make a tag that fits:
//   tag key = HKDF-SHA-256 (RFC 5869) of the file key's bytes, no salt,
//             info kBodyTagInfo, 32 bytes;
//   tag     = HMAC-SHA-256 under the tag key of the body's bytes as they lie
//             on disk, followed by the body's length in bytes as 8 bytes
//             big-endian.
// Stored as 64 lower-case hex digits.
inline constexpr std::string_view kBodyTagInfo = "KORVELIN Safehold body tag 1";
inline constexpr std::size_t kBodyTagKeyLength = 32;
inline constexpr std::size_t kBodyTagLength = 32;

// Computes one tag from the body's bytes, given in order, in pieces of any size.
class BodyTag {
public:
    explicit BodyTag(const std::string& fileKey);
    ~BodyTag();
    BodyTag(const BodyTag&) = delete;
    BodyTag& operator=(const BodyTag&) = delete;

    void update(const unsigned char* data, std::size_t length);
    // The hex tag of the bytes given so far; the object is spent afterwards.
    [[nodiscard]] std::string finish();

    // The hex tag of the whole file at path, read once. onBytes hears the
    // bytes read so far and may throw to stop.
    [[nodiscard]] static std::string ofFile(const std::string& fileKey, const nocase_wstring& path,
                                            const std::function<void(std::uint64_t)>& onBytes = {});
    // The tag key, raw (32 bytes): for the known-answer tests.
    [[nodiscard]] static std::string derivedKey(const std::string& fileKey);

private:
    struct Mac;
    std::unique_ptr<Mac> mac;
    std::uint64_t length = 0;
    bool finished = false;
};

// Whether two hex tags are the same, in time that does not depend on where
// they differ.
[[nodiscard]] bool sameTag(const std::string& a, const std::string& b);
