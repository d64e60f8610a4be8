#pragma once

#include <cstddef>
#include <memory>
#include <string>

// A body's AES-128-CBC encryption (zero IV, one chain over the whole file)
// and its integrity tag (BodyTag: HMAC-SHA-256 of the encrypted bytes and
// their length) in one pass over each block, on processors with the AES and
// SHA instructions. Both are chains of dependent instructions on different
// units of the core, so one core runs the two in about the time of the
// encryption alone; computed apart, the tag's hash held the second core,
// which reading and writing the file needed.
// The results are byte for byte those of OpenSSL's cipher and BodyTag.
class EncryptAndTag {
public:
    // Whether this processor has the instructions.
    [[nodiscard]] static bool available();
    // Tests turn this off to run the two apart on the same processor.
    static inline bool allowed = true;
    [[nodiscard]] static bool usable() { return allowed && available(); }

    // aesKey: the file's 16-byte cipher key; fileKey: what BodyTag derives
    // the tag key from. Throws when the processor lacks the instructions.
    EncryptAndTag(const unsigned char* aesKey, const std::string& fileKey);
    ~EncryptAndTag();
    EncryptAndTag(const EncryptAndTag&) = delete;
    EncryptAndTag& operator=(const EncryptAndTag&) = delete;

    // Encrypts length bytes in place, a whole number of cipher blocks,
    // continuing the chain of the calls before; the tag takes in what comes out.
    void encrypt(unsigned char* data, std::size_t length);
    // The hex tag of everything encrypted; the object is spent afterwards.
    [[nodiscard]] std::string finishTag();

    // The keys and the two chains, wiped when released.
    struct State;

private:
    std::unique_ptr<State> state;
};
