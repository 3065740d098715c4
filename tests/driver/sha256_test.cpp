// SHA-256 against FIPS 180-4 examples and HMAC-SHA256 against RFC 4231.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sha256.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string Sha256(const std::string& message)
{
    tolvarvx_sha256 context;
    tolvarvx_sha256_init(&context);
    tolvarvx_sha256_update(&context, reinterpret_cast<const uint8_t*>(message.data()),
                           message.size());
    uint8_t digest[TOLVARVX_SHA256_SIZE];
    tolvarvx_sha256_final(&context, digest);
    return Hex(digest, sizeof digest);
}

std::string Hmac(const std::string& key, const std::string& message)
{
    uint8_t mac[TOLVARVX_SHA256_SIZE];
    tolvarvx_hmac_sha256(reinterpret_cast<const uint8_t*>(key.data()), key.size(),
                         reinterpret_cast<const uint8_t*>(message.data()), message.size(), mac);
    return Hex(mac, sizeof mac);
}

TEST(Sha256, KnownDigests)
{
    EXPECT_EQ(Sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Lengths around the padding boundary: 55 bytes fit one block with the
// length, 56 need a second, 64 fill one exactly.
TEST(Sha256, PaddingBoundaries)
{
    EXPECT_EQ(Sha256(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(Sha256(std::string(56, 'a')),
              "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(Sha256(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, PiecewiseUpdatesMatchOneUpdate)
{
    const std::string million(1000000, 'a');
    tolvarvx_sha256 context;
    tolvarvx_sha256_init(&context);
    size_t offset = 0;
    for (size_t piece = 1; offset < million.size(); piece = piece % 97 + 1) {
        size_t take = std::min(piece, million.size() - offset);
        tolvarvx_sha256_update(&context, reinterpret_cast<const uint8_t*>(million.data()) + offset,
                               take);
        offset += take;
    }
    uint8_t digest[TOLVARVX_SHA256_SIZE];
    tolvarvx_sha256_final(&context, digest);
    EXPECT_EQ(Hex(digest, sizeof digest),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HmacSha256, Rfc4231Cases)
{
    // Case 1: 20-byte key of 0x0b.
    EXPECT_EQ(Hmac(std::string(20, '\x0b'), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    // Case 2: a key shorter than the output.
    EXPECT_EQ(Hmac("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // Case 6: a 131-byte key, longer than a block, is hashed first.
    EXPECT_EQ(Hmac(std::string(131, '\xaa'),
                   "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

}  // namespace
