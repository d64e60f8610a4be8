#include "engine/crypto/EncryptAndTag.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <openssl/crypto.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KIST_AES_SHA_INSTRUCTIONS 1
#endif

#include "engine/ExceptionModule.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/CryptoErrors.h"

using namespace cryptoerrors;

namespace {

constexpr std::size_t kShaBlock = 64;
constexpr std::size_t kRoundKeys = 11;

constexpr std::uint32_t kSha256Start[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

void putBigEndian64(unsigned char* out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
}

void putDigest(unsigned char* out, const std::uint32_t state[8])
{
    for (int word = 0; word < 8; ++word)
        for (int i = 0; i < 4; ++i)
            out[4 * word + i] = static_cast<unsigned char>(state[word] >> (24 - 8 * i));
}

} // namespace

struct EncryptAndTag::State {
    alignas(16) unsigned char roundKeys[kRoundKeys][16] = {};
    // The last cipher block written: the next block's chaining value.
    alignas(16) unsigned char chain[16] = {};
    // HMAC-SHA-256: the inner hash as it runs, and the outer one after its key block.
    std::uint32_t inner[8] = {};
    std::uint32_t outer[8] = {};
    // Encrypted bytes not yet a whole block of the hash.
    unsigned char pending[kShaBlock] = {};
    std::size_t pendingLength = 0;
    std::uint64_t length = 0;
    bool finished = false;

    State() = default;
    ~State() { OPENSSL_cleanse(this, sizeof *this); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

namespace {

#ifdef KIST_AES_SHA_INSTRUCTIONS

#define KIST_AES_SHA __attribute__((target("aes,sha,sse4.1,ssse3")))

alignas(16) constexpr std::uint32_t kSha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The SHA instructions keep the eight state words as ABEF and CDGH.
struct ShaRegisters {
    __m128i abef;
    __m128i cdgh;
};

KIST_AES_SHA inline ShaRegisters loadSha(const std::uint32_t state[8])
{
    const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    return { _mm_alignr_epi8(dcba, efgh, 8), _mm_blend_epi16(efgh, dcba, 0xF0) };
}

KIST_AES_SHA inline void storeSha(const ShaRegisters& registers, std::uint32_t state[8])
{
    const __m128i feba = _mm_shuffle_epi32(registers.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(registers.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

KIST_AES_SHA inline void hashBlock(ShaRegisters& registers, const unsigned char* block)
{
    const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i words[4];
    for (int i = 0; i < 4; ++i)
        words[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), bigEndian);
    __m128i abef = registers.abef;
    __m128i cdgh = registers.cdgh;
#pragma GCC unroll 16
    for (int quad = 0; quad < 16; ++quad) {
        __m128i message = _mm_add_epi32(
            words[quad & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256Rounds + 4 * quad)));
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
        message = _mm_shuffle_epi32(message, 0x0E);
        abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        if (quad < 12) {
            // The schedule's next four words, from the four quads before them.
            __m128i next = _mm_sha256msg1_epu32(words[quad & 3], words[(quad + 1) & 3]);
            next = _mm_add_epi32(next, _mm_alignr_epi8(words[(quad + 3) & 3], words[(quad + 2) & 3], 4));
            words[quad & 3] = _mm_sha256msg2_epu32(next, words[(quad + 3) & 3]);
        }
    }
    registers.abef = _mm_add_epi32(abef, registers.abef);
    registers.cdgh = _mm_add_epi32(cdgh, registers.cdgh);
}

KIST_AES_SHA void sha256Blocks(std::uint32_t state[8], const unsigned char* data, std::size_t count)
{
    ShaRegisters registers = loadSha(state);
    for (std::size_t i = 0; i < count; ++i)
        hashBlock(registers, data + kShaBlock * i);
    storeSha(registers, state);
}

KIST_AES_SHA inline __m128i nextRoundKey(__m128i key, __m128i assist)
{
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, _mm_shuffle_epi32(assist, 0xFF));
}

// The round constant must be an immediate, hence the steps written out.
KIST_AES_SHA void expandKey(const unsigned char* key, unsigned char roundKeys[kRoundKeys][16])
{
    __m128i keys[kRoundKeys];
    keys[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    keys[1] = nextRoundKey(keys[0], _mm_aeskeygenassist_si128(keys[0], 0x01));
    keys[2] = nextRoundKey(keys[1], _mm_aeskeygenassist_si128(keys[1], 0x02));
    keys[3] = nextRoundKey(keys[2], _mm_aeskeygenassist_si128(keys[2], 0x04));
    keys[4] = nextRoundKey(keys[3], _mm_aeskeygenassist_si128(keys[3], 0x08));
    keys[5] = nextRoundKey(keys[4], _mm_aeskeygenassist_si128(keys[4], 0x10));
    keys[6] = nextRoundKey(keys[5], _mm_aeskeygenassist_si128(keys[5], 0x20));
    keys[7] = nextRoundKey(keys[6], _mm_aeskeygenassist_si128(keys[6], 0x40));
    keys[8] = nextRoundKey(keys[7], _mm_aeskeygenassist_si128(keys[7], 0x80));
    keys[9] = nextRoundKey(keys[8], _mm_aeskeygenassist_si128(keys[8], 0x1B));
    keys[10] = nextRoundKey(keys[9], _mm_aeskeygenassist_si128(keys[9], 0x36));
    for (std::size_t i = 0; i < kRoundKeys; ++i)
        _mm_store_si128(reinterpret_cast<__m128i*>(roundKeys[i]), keys[i]);
    OPENSSL_cleanse(keys, sizeof keys);
}

struct RoundKeys {
    __m128i key[kRoundKeys];
};

KIST_AES_SHA inline RoundKeys loadRoundKeys(const unsigned char roundKeys[kRoundKeys][16])
{
    RoundKeys keys;
    for (std::size_t i = 0; i < kRoundKeys; ++i)
        keys.key[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys[i]));
    return keys;
}

KIST_AES_SHA inline __m128i encryptBlock(__m128i block, const RoundKeys& keys)
{
    block = _mm_xor_si128(block, keys.key[0]);
#pragma GCC unroll 9
    for (std::size_t round = 1; round < kRoundKeys - 1; ++round)
        block = _mm_aesenc_si128(block, keys.key[round]);
    return _mm_aesenclast_si128(block, keys.key[kRoundKeys - 1]);
}

KIST_AES_SHA inline __m128i encryptChained(unsigned char* at, __m128i chain, const RoundKeys& keys)
{
    auto* block = reinterpret_cast<__m128i*>(at);
    chain = encryptBlock(_mm_xor_si128(_mm_loadu_si128(block), chain), keys);
    _mm_storeu_si128(block, chain);
    return chain;
}

KIST_AES_SHA void cbcEncrypt(EncryptAndTag::State& state, unsigned char* data, std::size_t cipherBlocks)
{
    const RoundKeys keys = loadRoundKeys(state.roundKeys);
    __m128i chain = _mm_load_si128(reinterpret_cast<const __m128i*>(state.chain));
    for (std::size_t i = 0; i < cipherBlocks; ++i)
        chain = encryptChained(data + kCipherBlockSize * i, chain, keys);
    _mm_store_si128(reinterpret_cast<__m128i*>(state.chain), chain);
}

// Each hash block is taken in while the cipher works on the next one: the
// two chains do not wait for each other, so the core runs them side by side.
KIST_AES_SHA void cbcEncryptAndHash(EncryptAndTag::State& state, unsigned char* data, std::size_t shaBlocks)
{
    if (shaBlocks == 0)
        return;
    const RoundKeys keys = loadRoundKeys(state.roundKeys);
    __m128i chain = _mm_load_si128(reinterpret_cast<const __m128i*>(state.chain));
    ShaRegisters hash = loadSha(state.inner);
    for (std::size_t i = 0; i < shaBlocks; ++i) {
        unsigned char* block = data + kShaBlock * i;
        for (std::size_t at = 0; at < kShaBlock; at += kCipherBlockSize)
            chain = encryptChained(block + at, chain, keys);
        if (i > 0)
            hashBlock(hash, block - kShaBlock);
    }
    hashBlock(hash, data + kShaBlock * (shaBlocks - 1));
    storeSha(hash, state.inner);
    _mm_store_si128(reinterpret_cast<__m128i*>(state.chain), chain);
}

bool processorHasInstructions()
{
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    const bool aes = (c & bit_AES) != 0 && (c & bit_SSE4_1) != 0 && (c & bit_SSSE3) != 0;
    if (!aes || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    return (b & bit_SHA) != 0;
}

#else

bool processorHasInstructions()
{
    return false;
}

// Never reached: the constructor refuses first.
[[noreturn]] void unavailable()
{
    throw ExceptionModule(kCipherFailed, L"");
}
void sha256Blocks(std::uint32_t*, const unsigned char*, std::size_t) { unavailable(); }
void expandKey(const unsigned char*, unsigned char[kRoundKeys][16]) { unavailable(); }
void cbcEncrypt(EncryptAndTag::State&, unsigned char*, std::size_t) { unavailable(); }
void cbcEncryptAndHash(EncryptAndTag::State&, unsigned char*, std::size_t) { unavailable(); }

#endif

// The hash's part of HMAC: whole blocks straight from data, the rest kept.
void hashBytes(EncryptAndTag::State& state, const unsigned char* data, std::size_t length)
{
    if (state.pendingLength > 0) {
        const std::size_t taken = std::min(kShaBlock - state.pendingLength, length);
        std::memcpy(state.pending + state.pendingLength, data, taken);
        state.pendingLength += taken;
        data += taken;
        length -= taken;
        if (state.pendingLength < kShaBlock)
            return;
        sha256Blocks(state.inner, state.pending, 1);
        state.pendingLength = 0;
    }
    const std::size_t whole = length / kShaBlock;
    sha256Blocks(state.inner, data, whole);
    std::memcpy(state.pending, data + whole * kShaBlock, length - whole * kShaBlock);
    state.pendingLength = length - whole * kShaBlock;
}

} // namespace

bool EncryptAndTag::available()
{
    static const bool has = processorHasInstructions();
    return has;
}

EncryptAndTag::EncryptAndTag(const unsigned char* aesKey, const std::string& fileKey)
    : state(std::make_unique<State>())
{
    if (!available())
        throw ExceptionModule(kCipherFailed, L"");
    expandKey(aesKey, state->roundKeys);

    // HMAC's key blocks: the tag key padded to a hash block, XOR 0x36 and 0x5C.
    std::string tagKey = BodyTag::derivedKey(fileKey);
    unsigned char block[kShaBlock];
    for (const auto& [pad, hash] : { std::pair { 0x36, state->inner }, std::pair { 0x5C, state->outer } }) {
        std::memset(block, pad, sizeof block);
        for (std::size_t i = 0; i < tagKey.size(); ++i)
            block[i] ^= static_cast<unsigned char>(tagKey[i]);
        std::copy_n(kSha256Start, 8, hash);
        sha256Blocks(hash, block, 1);
    }
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(tagKey.data(), tagKey.size());
}

EncryptAndTag::~EncryptAndTag() = default;

void EncryptAndTag::encrypt(unsigned char* data, std::size_t length)
{
    if (state->finished || length % kCipherBlockSize != 0)
        throw ExceptionModule(kCipherFailed, L"");
    std::size_t done = 0;
    if (state->pendingLength == 0) {
        done = length / kShaBlock * kShaBlock;
        cbcEncryptAndHash(*state, data, done / kShaBlock);
    }
    if (done < length) {
        cbcEncrypt(*state, data + done, (length - done) / kCipherBlockSize);
        hashBytes(*state, data + done, length - done);
    }
    state->length += length;
}

std::string EncryptAndTag::finishTag()
{
    if (state->finished)
        throw ExceptionModule(kHashFailed, L"");
    state->finished = true;
    // The tag's message: the body, then its length; then SHA-256's padding,
    // which counts the key block too.
    unsigned char tail[kShaBlock + 16] = {};
    putBigEndian64(tail, state->length);
    hashBytes(*state, tail, 8);
    const std::uint64_t messageBits = (kShaBlock + state->length + 8) * 8;
    const std::size_t padLength = state->pendingLength < 56 ? 56 - state->pendingLength : 120 - state->pendingLength;
    tail[0] = 0x80;
    std::memset(tail + 1, 0, padLength - 1);
    putBigEndian64(tail + padLength, messageBits);
    hashBytes(*state, tail, padLength + 8);

    unsigned char outerBlock[kShaBlock] = {};
    putDigest(outerBlock, state->inner);
    outerBlock[kBodyTagLength] = 0x80;
    putBigEndian64(outerBlock + kShaBlock - 8, (kShaBlock + kBodyTagLength) * 8);
    sha256Blocks(state->outer, outerBlock, 1);
    unsigned char tag[kBodyTagLength];
    putDigest(tag, state->outer);
    OPENSSL_cleanse(outerBlock, sizeof outerBlock);
    return toHex(std::string_view(reinterpret_cast<const char*>(tag), sizeof tag));
}
