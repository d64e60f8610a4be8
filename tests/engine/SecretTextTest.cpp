#include <gtest/gtest.h>

#include <string>

#include "engine/SecretText.h"
#include "engine/crypto/FileKey.h"

namespace {

// True when every byte of the buffer, capacity included, is zero.
bool isZeroed(const char* buffer, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (buffer[i] != '\0')
            return false;
    return true;
}

} // namespace

TEST(SecretText, WipingOverwritesTheWholeBufferNotJustTheLength)
{
    // A long secret on the heap, then a shorter one in the same buffer: a
    // clear() would leave both readable.
    std::string onHeap = "a vault password long enough to live on the heap";
    onHeap = "short";
    const char* heapBuffer = onHeap.data();
    const std::size_t heapCapacity = onHeap.capacity();
    wipeText(onHeap);
    EXPECT_TRUE(onHeap.empty());
    EXPECT_EQ(onHeap.data(), heapBuffer); // the same buffer, still owned by the string
    EXPECT_TRUE(isZeroed(heapBuffer, heapCapacity));

    std::string small = "9charKey1"; // inside the string object itself
    const char* smallBuffer = small.data();
    const std::size_t smallCapacity = small.capacity();
    wipeText(small);
    EXPECT_TRUE(isZeroed(smallBuffer, smallCapacity));
}

TEST(SecretText, TakingATextOverWipesTheSource)
{
    std::string plain = "plain key text that came out of a decryption";
    const char* buffer = plain.data();
    const std::size_t capacity = plain.capacity();
    const SecretText secret(std::move(plain));
    EXPECT_EQ(secret, std::string("plain key text that came out of a decryption"));
    EXPECT_TRUE(isZeroed(buffer, capacity));

    // File keys come out as secrets and still read as the key they are.
    const SecretText key = drawFileKey();
    EXPECT_EQ(key.size(), kFileKeyLength);
    EXPECT_EQ(openFileKey("sealing text", sealFileKey("sealing text", key)), key);
}
