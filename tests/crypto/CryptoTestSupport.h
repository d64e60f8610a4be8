#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "tests/support/TestFiles.h"

// Helpers shared by the crypto tests: the message an operation throws, and an
// independent AES-128-CBC through the openssl command-line tool.
namespace cryptotest {

inline const std::string kCipherMessage = "Internal error. Cannot encrypt data. Are you running on Windows XP SP2+?";
inline const std::string kCorruptionMessage = "Corruption in your data. Possible tampering of the product.";
inline const std::string kZeroIv = "00000000000000000000000000000000";
// The key derived from "password" (computed independently, see the text tests).
inline const std::string kPasswordKeyHex = "a3bc508753274827cf2515600eaea32c";

// A whole file encrypted or decrypted with the key derived from keyText.
inline std::uint64_t encryptFile(const std::string& keyText, const std::string& source, const std::string& target,
    const FileTransformOptions& options = {})
{
    CryptoContext crypto;
    crypto.deriveKey(keyText);
    crypto.setAlgorithm("CALG_AES_128");
    return crypto.transformFile(toWide(source), toWide(target), true, options);
}

inline std::uint64_t decryptFile(const std::string& keyText, const std::string& source, const std::string& target,
    std::uint64_t plainSize)
{
    CryptoContext crypto;
    crypto.deriveKey(keyText);
    crypto.setAlgorithm("CALG_AES_128");
    FileTransformOptions options;
    options.plainSize = plainSize;
    return crypto.transformFile(toWide(source), toWide(target), false, options);
}

// The message of the ExceptionModule that call throws; fails the test when
// it throws nothing.
template <typename Call>
std::string messageOf(Call&& call)
{
    try {
        call();
    } catch (const ExceptionModule& error) {
        return error.getMessage();
    }
    ADD_FAILURE() << "no ExceptionModule was thrown";
    return {};
}

inline std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// AES-128-CBC with the zero IV by `openssl enc`: PKCS#7 padding over the
// whole input, or none.
inline std::string opensslEncrypt(const std::string& keyHex, const std::string& plain, bool padding,
    const std::string& folder)
{
    const std::string in = folder + "/openssl-in";
    const std::string out = folder + "/openssl-out";
    testsupport::writeFile(in, plain);
    const std::string command = "openssl enc -aes-128-cbc -K " + keyHex + " -iv " + kZeroIv
        + (padding ? "" : " -nopad") + " -in " + shellQuoted(in) + " -out " + shellQuoted(out);
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "openssl enc failed: " << command;
        return {};
    }
    return testsupport::readFile(out);
}

} // namespace cryptotest
