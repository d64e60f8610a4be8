#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/SecretText.h"
#include "engine/Strings.h"
#include "engine/crypto/KeyWrap.h"

class BodyFormat;

// The header of a hardened vault: a small file beside its database that
// holds what is needed before the vault opens. Little-endian, 184 bytes:
//     0   8  marker "KVHVAULT"
//     8   4  format version (1)
//    12   4  Argon2id passes
//    16   4  Argon2id memory in KiB
//    20   4  Argon2id lanes
//    24  16  salt
//    40  72  master key wrapped under the password's Argon2id key
//            (additional data: bytes 0..39)
//   112  72  master key wrapped under the recovery key
//            (additional data: bytes 0..11)
// A wrapped key is a 24-byte nonce, the sealed 32-byte key and its tag.
struct HardenedHeader {
    static constexpr std::string_view marker{"KVHVAULT", 8};
    static constexpr std::uint32_t version = 1;
    static constexpr std::size_t length = 184;

    Argon2Parameters kdf;
    std::string salt;
    std::string passwordWrap;
    std::string recoveryWrap;

    // The bytes the password wrap authenticates (0..39).
    [[nodiscard]] std::string passwordBinding() const;
    // The bytes the recovery wrap authenticates (0..11).
    [[nodiscard]] static std::string recoveryBinding();
    [[nodiscard]] std::string serialize() const;
    // Throws "...is damaged" for anything that is not a whole header.
    [[nodiscard]] static HardenedHeader parse(std::string_view bytes, const nocase_wstring& path);
};

// The keys of one hardened vault. The master key (32 random bytes) never
// changes: the password and the recovery key each wrap it, so changing the
// password rewrites the header and nothing else. Every other key comes from
// the master key through HKDF-SHA-256 with a label of its own:
//   database key  = HKDF(master, "KORVELIN Safehold database key 1")
//   file-key wrap = HKDF(master, "KORVELIN Safehold file key wrap 1")
// A file key (32 random bytes) is stored wrapped under the file-key wrap
// (additional data "KORVELIN Safehold file key 1") as 144 hex digits.
class HardenedVault {
public:
    static constexpr wchar_t headerFileName[] = L"vault.header";
    static constexpr const char* encryptionName = "AES_256_GCM_CHUNKED";
    static constexpr const char* formatSetting = "Format";
    static constexpr const char* formatName = "hardened-1";

    ~HardenedVault();
    HardenedVault(const HardenedVault&) = delete;
    HardenedVault& operator=(const HardenedVault&) = delete;

    // Whether the folder holds a hardened vault (its header).
    [[nodiscard]] static bool isHardened(const nocase_wstring& vaultFolder);
    // Reads the header; locked until unlock().
    [[nodiscard]] static std::unique_ptr<HardenedVault> read(const nocase_wstring& vaultFolder);
    // A new master key wrapped under the password and a new recovery key,
    // unlocked; the recovery key's text is left in recoveryKeyText.
    [[nodiscard]] static std::unique_ptr<HardenedVault> create(const std::string& password,
                                                               std::string& recoveryKeyText);

    // Argon2id parameters that take about targetSeconds here (at least
    // 64 MiB and one pass). Tests may fix them with fixedParameters.
    [[nodiscard]] static Argon2Parameters calibrate(double targetSeconds = 0.5);
    static inline std::optional<Argon2Parameters> fixedParameters;

    // Writes the header whole or not at all (temporary file, flush, rename).
    void writeHeader(const nocase_wstring& path) const;

    // Each runs the full key derivation whatever the outcome, and compares
    // nothing but the authenticated unwrap: no hash of the password exists.
    [[nodiscard]] bool unlock(const std::string& password);
    [[nodiscard]] bool unlockWithRecoveryKey(const std::string& recoveryKeyText);
    // A new salt and a new wrap of the master key under the new password.
    void changePassword(const std::string& newPassword);
    // Forgets the master key.
    void lock();
    [[nodiscard]] bool isUnlocked() const { return !masterKey.empty(); }

    [[nodiscard]] const HardenedHeader& header() const { return stored; }
    // HKDF-SHA-256 of the master key with the label, 32 bytes.
    [[nodiscard]] SecretText derivedKey(std::string_view label) const;
    // SQLCipher's raw-key text: x'<64 hex digits>'.
    [[nodiscard]] SecretText databaseKey() const;
    [[nodiscard]] std::string wrapFileKey(const std::string& fileKey) const;
    // Throws when the wrapped key does not open (a damaged row).
    [[nodiscard]] SecretText unwrapFileKey(const std::string& cipher) const;
    // How this vault's bodies are encrypted; lives as long as this object.
    [[nodiscard]] const BodyFormat& bodyFormat() const { return *format; }

    // 32 bytes as the user writes them down: base32 (RFC 4648), 52 letters
    // and digits in 13 groups of four joined by hyphens.
    [[nodiscard]] static std::string formatRecoveryKey(const std::string& key);
    // Ignores case, blanks and hyphens; nothing for a text that is no key.
    [[nodiscard]] static std::optional<SecretText> parseRecoveryKey(const std::string& text);

private:
    HardenedVault();
    void requireUnlocked() const;

    HardenedHeader stored;
    SecretText masterKey;
    std::unique_ptr<BodyFormat> format;
};
