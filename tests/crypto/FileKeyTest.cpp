#include <array>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/CryptoContext.h"
#include "engine/crypto/FileKey.h"
#include "tests/crypto/CryptoTestSupport.h"

using cryptotest::kCipherMessage;
using cryptotest::messageOf;

namespace {
const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
}

TEST(FileKey, NineCharactersOfTheAlphabetThatDifferEachTime)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string key = drawFileKey();
        EXPECT_EQ(key.size(), 9U);
        EXPECT_EQ(key.find_first_not_of(kAlphabet), std::string::npos) << key;
        seen.insert(key);
    }
    // Keys drawn within the same second must not repeat.
    EXPECT_EQ(seen.size(), 200U);
}

TEST(FileKey, CharactersAreUniformOverTheAlphabet)
{
    // 180,000 characters: about 2903 per character with a standard deviation
    // near 53. A modulo bias would put the first eight characters about 21%
    // above the rest; the 12% band is more than six deviations wide.
    std::array<int, 62> counts {};
    const int draws = 20000;
    for (int i = 0; i < draws; ++i) {
        for (const char c : drawFileKey())
            ++counts[kAlphabet.find(c)];
    }
    const double expected = draws * 9.0 / 62.0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        EXPECT_GT(counts[i], expected * 0.88) << kAlphabet[i];
        EXPECT_LT(counts[i], expected * 1.12) << kAlphabet[i];
    }
}

TEST(FileKey, SealsUnderTheSealingTextAndOpensOnlyWithIt)
{
    const std::string key = "7Hq2LmZ9x";
    const std::string cipher = sealFileKey("vault password", key);
    // The stored form: the hex text sealed like any other text.
    CryptoContext crypto;
    EXPECT_EQ(cipher, crypto.encryptText("vault password", key));
    EXPECT_EQ(cipher.size(), 32U);
    EXPECT_EQ(openFileKey("vault password", cipher), key);

    EXPECT_EQ(messageOf([&] { (void)openFileKey("Vault password", cipher); }), kCipherMessage);
    EXPECT_EQ(messageOf([&] { (void)openFileKey("vault password", cipher.substr(1)); }),
        cryptotest::kCorruptionMessage);
}

TEST(FileKey, RefusesSealedTextsThatAreNoFileKey)
{
    // A wrong sealing text can, rarely, pass the padding check and yield
    // garbage; whatever does not look like a file key is refused.
    for (const std::string& notAKey : { std::string(), std::string("7Hq2LmZ9"), std::string("7Hq2LmZ9xy"),
             std::string("7Hq2LmZ9!") }) {
        const std::string cipher = sealFileKey("pw", notAKey);
        EXPECT_EQ(messageOf([&] { (void)openFileKey("pw", cipher); }), kCipherMessage) << notAKey;
    }
}
