#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Checks the authentication code of one WinZip AES zip entry from its raw
// stored bytes: salt (8, 12 or 16 bytes for AES-128, -192, -256), a 2-byte
// password verifier, the encrypted data, and 10 bytes of HMAC-SHA1 over the
// encrypted data. The keys come from PBKDF2-HMAC-SHA1 (1000 rounds) of the
// password and the salt: the AES key, the HMAC key, then the verifier.
// AE-2 entries store no CRC, so this code is all that vouches for their data.
class ZipAesAuthentication {
public:
    // keyBits: 128, 192 or 256; anything else never authenticates.
    ZipAesAuthentication(const std::string& password, int keyBits);
    ~ZipAesAuthentication();
    ZipAesAuthentication(const ZipAesAuthentication&) = delete;
    ZipAesAuthentication& operator=(const ZipAesAuthentication&) = delete;

    // The entry's raw bytes, in order, in pieces of any size.
    void feed(const char* data, std::size_t size);
    // True when the bytes fed formed a whole entry whose password verifier
    // and authentication code both match.
    [[nodiscard]] bool finish();

private:
    void startMac();
    void macUpdate(const unsigned char* data, std::size_t size);

    std::string password;
    std::size_t keyLength = 0;
    std::size_t saltLength = 0;
    std::vector<unsigned char> header; // salt and verifier, until complete
    std::vector<unsigned char> tail;   // the last bytes seen: the code, once all is fed
    bool failed = false;
    struct MacState;
    std::unique_ptr<MacState> mac;
};
