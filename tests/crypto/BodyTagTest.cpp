// Integrity tags of file bodies: the tag key's derivation and the tag itself
// against answers computed outside the program, and the tag a transform
// computes while it streams (one thread and three) against the tag of the
// body file as written.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/ExceptionModule.h"
#include "engine/crypto/BodyTag.h"
#include "engine/crypto/CryptoContext.h"
#include "tests/crypto/CryptoTestSupport.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

using cryptotest::messageOf;
using cryptotest::shellQuoted;
using testsupport::exists;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kFileKey = "7Hq2LmZ9x";
// The tag key of kFileKey, from
//   openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt key:7Hq2LmZ9x
//       -kdfopt "info:KORVELIN Safehold body tag 1" HKDF
// and the same from RFC 5869 written out with Python's hmac and hashlib
// (salt of 32 zero bytes, one expansion block).
const std::string kTagKeyHex = "5ed017a648d2a4da09529724aa3ff8aa7035c4272fbb3a1ead798454cdb231b2";

// The tag of a whole file by the openssl tool: HMAC-SHA-256 under the tag key
// of the file's bytes and its length as 8 bytes big-endian.
std::string opensslTag(const std::string& file, const std::string& folder)
{
    const std::uint64_t length = std::filesystem::file_size(file);
    std::string suffix(8, '\0');
    for (int i = 0; i < 8; ++i)
        suffix[static_cast<std::size_t>(i)] = static_cast<char>(length >> (56 - 8 * i));
    const std::string lengthFile = folder + "/length";
    const std::string output = folder + "/tag";
    writeFile(lengthFile, suffix);
    const std::string command = "cat " + shellQuoted(file) + " " + shellQuoted(lengthFile)
        + " | openssl dgst -sha256 -mac HMAC -macopt hexkey:" + kTagKeyHex + " -r > " + shellQuoted(output);
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "openssl dgst failed";
        return {};
    }
    return readFile(output).substr(0, 64);
}

std::string tagOf(const std::string& fileKey, const std::string& bytes)
{
    BodyTag tag(fileKey);
    tag.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return tag.finish();
}

} // namespace

TEST(BodyTag, KeyAndTagMatchKnownAnswers)
{
    EXPECT_EQ(toHex(BodyTag::derivedKey(kFileKey)), kTagKeyHex);
    // Python: HKDF as above with the file key "000000000".
    EXPECT_EQ(toHex(BodyTag::derivedKey("000000000")),
              "4b7c80002e2e1f363f496da84c55c24ce690ecfb5684970b31e49edb9dd46d91");

    // Python: hmac.new(key, body + struct.pack(">Q", len(body)), hashlib.sha256),
    // the 43-byte one also by `openssl dgst -sha256 -mac HMAC -macopt hexkey:...`.
    EXPECT_EQ(tagOf(kFileKey, ""), "8ee78adf24c86f5abe0ebe37fd4a83b4a3dcd7c9cf92d208e213b74013974283");
    EXPECT_EQ(tagOf(kFileKey, "The quick brown fox jumps over the lazy dog"),
              "1d769f32295888eafd106101884150b5013a559aeb557a3a273ba70ad6fffe48");
    std::string counting;
    for (int round = 0; round < 8; ++round)
        for (int byte = 0; byte < 256; ++byte)
            counting += static_cast<char>(byte);
    EXPECT_EQ(tagOf(kFileKey, counting), "f1b8cb310ebb11fca18d5109eeddbc1650cc2a8967bef948a1040546b4931f53");

    // Pieces of any size give the same tag as the whole.
    BodyTag pieces(kFileKey);
    for (std::size_t at = 0; at < counting.size(); at += 700)
        pieces.update(reinterpret_cast<const unsigned char*>(counting.data() + at),
                      std::min<std::size_t>(700, counting.size() - at));
    EXPECT_EQ(pieces.finish(), tagOf(kFileKey, counting));
    // The length is part of the tag: a body cut short by a block does not
    // keep its tag even where the bytes agree.
    EXPECT_NE(tagOf(kFileKey, counting.substr(0, 2032)), tagOf(kFileKey, counting));
    EXPECT_NE(tagOf("7Hq2LmZ9y", counting), tagOf(kFileKey, counting));
}

// Small files run on one thread, files of 8 MiB and more on three, where the
// tag is computed on the reading or writing thread.
TEST(BodyTag, TransformsTagTheBodyTheyWriteAndRefuseAnAlteredOne)
{
    const std::string folder = testsupport::makeScratchFolder("body-tags");
    for (const std::uint64_t length : { std::uint64_t { 4001 }, std::uint64_t { 9 } << 20 }) {
        SCOPED_TRACE(length);
        const std::string plain = folder + "/plain";
        const std::string body = folder + "/body";
        const std::string out = folder + "/out";
        writeFile(plain, patternBytes(static_cast<std::size_t>(length)));
        std::remove(body.c_str());

        std::string written;
        FileTransformOptions encrypting;
        encrypting.tagFileKey = &kFileKey;
        encrypting.computedTag = &written;
        (void)cryptotest::encryptFile(kFileKey, plain, body, encrypting);
        EXPECT_EQ(written, opensslTag(body, folder));
        EXPECT_EQ(BodyTag::ofFile(kFileKey, toWide(body)), written);

        CryptoContext crypto;
        crypto.deriveKey(kFileKey);
        std::string read;
        FileTransformOptions decrypting;
        decrypting.plainSize = length;
        decrypting.tagFileKey = &kFileKey;
        decrypting.computedTag = &read;
        decrypting.expectedTag = written;
        EXPECT_EQ(crypto.transformFile(toWide(body), toWide(out), false, decrypting), length);
        EXPECT_EQ(read, written);
        EXPECT_EQ(readFile(out), readFile(plain));
        std::remove(out.c_str());

        // One byte flipped in the middle, and one 40 bytes before the end
        // (where the padding check alone would not notice): refused, and
        // nothing is left at the target.
        const std::string whole = readFile(body);
        for (const std::size_t at : { whole.size() / 2, whole.size() - 40 }) {
            std::string altered = whole;
            altered[at] = static_cast<char>(altered[at] ^ 0x01);
            writeFile(body, altered);
            EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(body), toWide(out), false, decrypting); }),
                      "damaged: " + body);
            EXPECT_FALSE(exists(out));
        }
        // Without an expected tag the same body decrypts as before (an older
        // vault), and its tag is still computed.
        FileTransformOptions untagged = decrypting;
        untagged.expectedTag.reset();
        EXPECT_EQ(crypto.transformFile(toWide(body), toWide(out), false, untagged), length);
        EXPECT_NE(read, written);
        std::remove(out.c_str());

        // The last block changed: the padding check fails first, and a body
        // that has a tag is damaged all the same.
        std::string lastBlock = whole;
        lastBlock[whole.size() - 1] = static_cast<char>(lastBlock[whole.size() - 1] ^ 0x01);
        writeFile(body, lastBlock);
        EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(body), toWide(out), false, decrypting); }),
                  "damaged: " + body);
        EXPECT_FALSE(exists(out));
        // A body cut short is refused for its length, as before.
        writeFile(body, whole.substr(0, whole.size() - 16));
        EXPECT_EQ(messageOf([&] { (void)crypto.transformFile(toWide(body), toWide(out), false, decrypting); }),
                  cryptotest::kCipherMessage);
        EXPECT_FALSE(exists(out));
    }
}
