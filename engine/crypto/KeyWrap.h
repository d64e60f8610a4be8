#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/SecretText.h"

// The keys of a hardened vault and how they are kept (docs/security.md):
//   - Argon2id (RFC 9106, libsodium's crypto_pwhash, version 0x13) turns the
//     Vault password and a random salt into a 32-byte wrapping key;
//   - a key is wrapped with XChaCha20-Poly1305 (IETF, libsodium): a random
//     24-byte nonce followed by the sealed key and its 16-byte tag;
//   - HKDF-SHA-256 (RFC 5869) derives the keys that have one job each
//     (database, file-key wrapping) from the master key.
inline constexpr std::size_t kKeyLength = 32;
inline constexpr std::size_t kSaltLength = 16;
inline constexpr std::size_t kWrapNonceLength = 24;
inline constexpr std::size_t kWrapTagLength = 16;
inline constexpr std::size_t kWrappedKeyLength = kWrapNonceLength + kKeyLength + kWrapTagLength;

struct Argon2Parameters {
    std::uint32_t passes = 3;         // t
    std::uint32_t memoryKiB = 65536;  // m, in KiB
    std::uint32_t lanes = 1;          // p (libsodium computes one lane)
};

// The least a hardened vault accepts: 64 MiB, one pass, one lane.
inline constexpr std::uint32_t kLeastArgon2MemoryKiB = 65536;

// Throws when libsodium cannot start.
void requireSodium();

// Bytes from the system's cryptographic random source.
[[nodiscard]] std::string randomBytes(std::size_t count);

// The 32-byte Argon2id key of the password and salt. Throws for parameters
// libsodium refuses (more than one lane, too little memory) or when the
// memory cannot be had.
[[nodiscard]] SecretText argon2idKey(const std::string& password, std::string_view salt,
                                     const Argon2Parameters& parameters);

// How many Argon2id derivations this process ran: the tests check that every
// refusal of a password or recovery key costs the same one derivation.
[[nodiscard]] std::uint64_t argon2idDerivations();

// Wraps a 32-byte key; additionalData is authenticated with it.
[[nodiscard]] std::string wrapKey(const std::string& key, const std::string& wrappingKey,
                                  std::string_view additionalData);
// The key back, or nothing when the wrapping key, the additional data or a
// byte of the wrapped key is not what it was.
[[nodiscard]] std::optional<SecretText> unwrapKey(std::string_view wrapped, const std::string& wrappingKey,
                                                  std::string_view additionalData);

// HKDF-SHA-256 with no salt (RFC 5869).
[[nodiscard]] SecretText hkdfSha256(const std::string& key, std::string_view info, std::size_t length);

// Compares in time that does not depend on where the texts differ.
[[nodiscard]] bool sameSecret(std::string_view a, std::string_view b);
