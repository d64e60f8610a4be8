#include "engine/HardenedVault.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/BodyFormat.h"
#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/platform/FileSystem.h"
#include "engine/platform/PathUtil.h"

namespace {

constexpr std::string_view kDatabaseKeyLabel = "KORVELIN Safehold database key 1";
constexpr std::string_view kFileKeyWrapLabel = "KORVELIN Safehold file key wrap 1";
constexpr std::string_view kFileKeyBinding = "KORVELIN Safehold file key 1";
constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr std::size_t kRecoveryKeyLetters = 52;

void putU32(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t getU32(std::string_view in, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

std::string readWholeFile(const nocase_wstring& path)
{
    // Non-blocking so that a named pipe in the header's place cannot hang
    // the open; it is refused below.
    const int descriptor = ::open(toNarrow(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        throw ExceptionModule(L"Cannot read the hardened vault's header: " + path, systemErrorText(errno));
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        throw ExceptionModule(L"Cannot read the hardened vault's header: " + path, L"it is not a file");
    }
    std::string bytes;
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            const int error = errno;
            ::close(descriptor);
            if (got < 0)
                throw ExceptionModule(L"Cannot read the hardened vault's header: " + path, systemErrorText(error));
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
        if (bytes.size() > 4096) {
            ::close(descriptor);
            return bytes;
        }
    }
}

} // namespace

std::string HardenedHeader::passwordBinding() const
{
    return serialize().substr(0, 40);
}

std::string HardenedHeader::recoveryBinding()
{
    std::string binding(marker);
    putU32(binding, version);
    return binding;
}

std::string HardenedHeader::serialize() const
{
    std::string out(marker);
    putU32(out, version);
    putU32(out, kdf.passes);
    putU32(out, kdf.memoryKiB);
    putU32(out, kdf.lanes);
    out += salt;
    out += passwordWrap;
    out += recoveryWrap;
    return out;
}

HardenedHeader HardenedHeader::parse(std::string_view bytes, const nocase_wstring& path)
{
    if (bytes.size() != length || bytes.substr(0, marker.size()) != marker || getU32(bytes, 8) != version)
        throw ExceptionModule(L"The hardened vault's header is damaged or of an unknown version: " + path, L"");
    HardenedHeader header;
    header.kdf.passes = getU32(bytes, 12);
    header.kdf.memoryKiB = getU32(bytes, 16);
    header.kdf.lanes = getU32(bytes, 20);
    header.salt = std::string(bytes.substr(24, kSaltLength));
    header.passwordWrap = std::string(bytes.substr(40, kWrappedKeyLength));
    header.recoveryWrap = std::string(bytes.substr(112, kWrappedKeyLength));
    // Parameters below the floor would let a copied header be guessed at
    // cheaply: a header that asks for them is not one this program wrote.
    // Nor is one that asks for more work than calibration ever chooses (64
    // passes over 64 MiB): a hostile package must not tie the program up.
    if (header.kdf.memoryKiB < kLeastArgon2MemoryKiB || header.kdf.passes < 1 || header.kdf.lanes != 1
        || std::uint64_t{header.kdf.passes} * header.kdf.memoryKiB > std::uint64_t{64} * kLeastArgon2MemoryKiB)
        throw ExceptionModule(L"The hardened vault's header is damaged or of an unknown version: " + path, L"");
    return header;
}

HardenedVault::HardenedVault()
    : format(BodyFormat::hardened(*this))
{
}

HardenedVault::~HardenedVault() = default;

bool HardenedVault::isHardened(const nocase_wstring& vaultFolder)
{
    return pathExists(joinPath(vaultFolder, headerFileName));
}

std::unique_ptr<HardenedVault> HardenedVault::read(const nocase_wstring& vaultFolder)
{
    const nocase_wstring path = joinPath(vaultFolder, headerFileName);
    std::unique_ptr<HardenedVault> vault(new HardenedVault());
    vault->stored = HardenedHeader::parse(readWholeFile(path), path);
    return vault;
}

Argon2Parameters HardenedVault::calibrate(double targetSeconds)
{
    if (fixedParameters)
        return *fixedParameters;
    Argon2Parameters parameters;
    parameters.memoryKiB = kLeastArgon2MemoryKiB;
    const std::string salt(kSaltLength, '\0');
    const auto secondsFor = [&](std::uint32_t passes) {
        parameters.passes = passes;
        const auto start = std::chrono::steady_clock::now();
        (void)argon2idKey("calibration", salt, parameters);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // The first pass costs most (the memory is taken and filled); each
    // further one adds its share, measured over two of them so that a
    // moment's load elsewhere weighs less.
    const double one = secondsFor(1);
    const double three = secondsFor(3);
    const double perPass = std::max((three - one) / 2, 1e-3);
    const double passes = std::floor(1 + (targetSeconds - one) / perPass + 0.5);
    parameters.passes = static_cast<std::uint32_t>(std::clamp(passes, 1.0, 64.0));
    return parameters;
}

std::unique_ptr<HardenedVault> HardenedVault::create(const std::string& password, std::string& recoveryKeyText)
{
    std::unique_ptr<HardenedVault> vault(new HardenedVault());
    vault->masterKey = SecretText(randomBytes(kKeyLength));
    vault->stored.kdf = calibrate();
    const SecretText recoveryKey(randomBytes(kKeyLength));
    vault->stored.recoveryWrap = wrapKey(vault->masterKey, recoveryKey, HardenedHeader::recoveryBinding());
    vault->changePassword(password);
    recoveryKeyText = formatRecoveryKey(recoveryKey);
    return vault;
}

void HardenedVault::writeHeader(const nocase_wstring& path) const
{
    const std::string bytes = stored.serialize();
    const std::string narrow = toNarrow(path);
    const std::string temporary = narrow + ".new";
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0)
        throw ExceptionModule(L"Cannot write the hardened vault's header: " + path, systemErrorText(errno));
    const bool written = ::write(descriptor, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
        && ::fsync(descriptor) == 0;
    const int error = errno;
    ::close(descriptor);
    if (!written || ::rename(temporary.c_str(), narrow.c_str()) != 0) {
        const int failure = written ? errno : error;
        ::unlink(temporary.c_str());
        throw ExceptionModule(L"Cannot write the hardened vault's header: " + path, systemErrorText(failure));
    }
    flushFileSystem(parentFolder(path));
}

bool HardenedVault::unlock(const std::string& password)
{
    const SecretText wrappingKey = argon2idKey(password, stored.salt, stored.kdf);
    auto key = unwrapKey(stored.passwordWrap, wrappingKey, stored.passwordBinding());
    if (!key)
        return false;
    masterKey = *key;
    return true;
}

bool HardenedVault::unlockWithRecoveryKey(const std::string& recoveryKeyText)
{
    const auto recoveryKey = parseRecoveryKey(recoveryKeyText);
    if (!recoveryKey)
        return false;
    auto key = unwrapKey(stored.recoveryWrap, *recoveryKey, HardenedHeader::recoveryBinding());
    if (!key)
        return false;
    masterKey = *key;
    return true;
}

void HardenedVault::changePassword(const std::string& newPassword)
{
    requireUnlocked();
    HardenedHeader changed = stored;
    changed.salt = randomBytes(kSaltLength);
    changed.passwordWrap.assign(kWrappedKeyLength, '\0');
    const SecretText wrappingKey = argon2idKey(newPassword, changed.salt, changed.kdf);
    changed.passwordWrap = wrapKey(masterKey, wrappingKey, changed.passwordBinding());
    stored = std::move(changed);
}

void HardenedVault::lock()
{
    masterKey = SecretText();
}

void HardenedVault::requireUnlocked() const
{
    if (masterKey.empty())
        throw ExceptionModule(L"Cannot use this feature until you enter your password.", L"");
}

SecretText HardenedVault::derivedKey(std::string_view label) const
{
    requireUnlocked();
    return hkdfSha256(masterKey, label, kKeyLength);
}

SecretText HardenedVault::databaseKey() const
{
    requireUnlocked();
    const SecretText key = hkdfSha256(masterKey, kDatabaseKeyLabel, kKeyLength);
    std::string text = "x'" + toHex(key.text()) + "'";
    return SecretText(std::move(text));
}

std::string HardenedVault::wrapFileKey(const std::string& fileKey) const
{
    requireUnlocked();
    const SecretText wrapping = hkdfSha256(masterKey, kFileKeyWrapLabel, kKeyLength);
    return toHex(wrapKey(fileKey, wrapping, kFileKeyBinding));
}

SecretText HardenedVault::unwrapFileKey(const std::string& cipher) const
{
    requireUnlocked();
    const SecretText wrapping = hkdfSha256(masterKey, kFileKeyWrapLabel, kKeyLength);
    std::optional<SecretText> key;
    try {
        key = unwrapKey(fromHex(cipher), wrapping, kFileKeyBinding);
    } catch (const ExceptionModule&) {
    }
    if (!key)
        throw ExceptionModule(L"A file key of this vault does not open: its record is damaged.", L"");
    return *key;
}

std::string HardenedVault::formatRecoveryKey(const std::string& key)
{
    std::string letters;
    unsigned int buffer = 0;
    int bits = 0;
    for (const char byte : key) {
        buffer = (buffer << 8) | static_cast<unsigned char>(byte);
        bits += 8;
        while (bits >= 5) {
            letters.push_back(kBase32[(buffer >> (bits - 5)) & 31]);
            bits -= 5;
        }
    }
    if (bits > 0)
        letters.push_back(kBase32[(buffer << (5 - bits)) & 31]);
    std::string grouped;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        if (i > 0 && i % 4 == 0)
            grouped.push_back('-');
        grouped.push_back(letters[i]);
    }
    return grouped;
}

std::optional<SecretText> HardenedVault::parseRecoveryKey(const std::string& text)
{
    std::string key;
    unsigned int buffer = 0;
    int bits = 0;
    std::size_t letters = 0;
    for (const char c : text) {
        if (c == '-' || std::isspace(static_cast<unsigned char>(c)))
            continue;
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const char* found = std::char_traits<char>::find(kBase32, 32, upper);
        if (found == nullptr) {
            wipeText(key);
            return std::nullopt;
        }
        buffer = ((buffer << 5) | static_cast<unsigned int>(found - kBase32)) & 0xFFFF;
        bits += 5;
        ++letters;
        if (bits >= 8) {
            key.push_back(static_cast<char>((buffer >> (bits - 8)) & 0xFF));
            bits -= 8;
        }
    }
    // 52 letters carry 260 bits: the last four must be zero.
    if (letters != kRecoveryKeyLetters || key.size() != kKeyLength || (buffer & ((1U << bits) - 1)) != 0) {
        wipeText(key);
        return std::nullopt;
    }
    return SecretText(std::move(key));
}
