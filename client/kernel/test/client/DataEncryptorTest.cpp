#include <gtest/gtest.h>

#include "core/src/crypto/Tea.h"
#include "tunnel_client/client/DataEncryptor.h"

using kx::core::Binary;
using tunnel::DataEncryptor;

namespace {

Binary hex(const char* text) {
    Binary out;
    for (const char* p = text; p[0] && p[1]; p += 2) {
        unsigned v = 0;
        sscanf(p, "%2x", &v);
        out.append(static_cast<uint8_t>(v));
    }
    return out;
}

}  // namespace

TEST(DataEncryptor, WithoutKeyBothOperationsFail) {
    DataEncryptor e(L"");
    Binary out("untouched");
    EXPECT_FALSE(e.hasKey());
    EXPECT_FALSE(e.encrypt(&out, Binary("data"), 1));
    EXPECT_FALSE(e.decrypt(&out, Binary("data"), 1));
    EXPECT_EQ(Binary("untouched"), out);
}

TEST(DataEncryptor, PacketKeyVariesWithTheValue) {
    DataEncryptor e(L"forward-key");
    Binary cipher;
    ASSERT_TRUE(e.encrypt(&cipher, Binary("hello"), 0x04030201u));
    // Independently computed: 16-cycle TEA, key16 XOR the value's bytes.
    EXPECT_EQ(hex("06ac7644866c3f2803"), cipher);

    Binary plain;
    ASSERT_TRUE(e.decrypt(&plain, cipher, 0x04030201u));
    EXPECT_EQ(Binary("hello"), plain);
    // Another value gives other bytes or a format failure, never the plaintext.
    bool ok = e.decrypt(&plain, cipher, 0x04030202u);
    EXPECT_TRUE(!ok || plain != Binary("hello"));

    Binary other;
    ASSERT_TRUE(e.encrypt(&other, Binary("hello"), 7));
    EXPECT_NE(cipher, other);

    // Value 0 leaves the key16 as it is.
    Binary direct;
    ASSERT_TRUE(
        kx::core::Tea::encrypt(Binary("hello"), kx::core::Tea::key16(L"forward-key"), direct));
    ASSERT_TRUE(e.encrypt(&other, Binary("hello"), 0));
    EXPECT_EQ(direct, other);
}

TEST(DataEncryptor, SizesAndMalformedCiphertext) {
    DataEncryptor e(L"k");
    Binary out;
    ASSERT_TRUE(e.encrypt(&out, Binary(), 9));
    EXPECT_TRUE(out.isEmpty());
    ASSERT_TRUE(e.encrypt(&out, Binary("12345678"), 9));
    EXPECT_EQ(9, out.length());
    EXPECT_EQ(0x00, out[8]);

    Binary bad = out;
    bad.resize(8);  // trailer missing: 7 + 1 is no whole block
    EXPECT_FALSE(e.decrypt(&out, bad, 9));
    EXPECT_TRUE(out.isEmpty());
    bad = hex("000000000000000009");  // pad count larger than the data
    EXPECT_FALSE(e.decrypt(&out, bad, 9));
    bad = hex("0000000000000000ff");  // negative pad count
    EXPECT_FALSE(e.decrypt(&out, bad, 9));
}
