#include <gtest/gtest.h>

#include <string>

#include "core/src/crypto/Base64.h"
#include "core/src/crypto/Digest.h"
#include "core/src/crypto/Tea.h"

using namespace kx::core;

namespace {
Binary bytes(const std::string& s) {
    return Binary::fromStdString(s);
}

Binary fromHex(const char* hex) {
    Binary out;
    EXPECT_TRUE(Digest::fromHex(String::fromUtf8(hex), out));
    return out;
}

const std::string MSG_448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
}  // namespace

TEST(Digest, Md5Rfc1321Suite) {
    const char* cases[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Digest::md5Hex(String::fromUtf8(c[0])).toStdString(), c[1]) << c[0];
        EXPECT_EQ(Digest::md5Hex(bytes(c[0])).toStdString(), c[1]) << c[0];
    }
    EXPECT_EQ(Digest::md5(bytes("abc")).length(), 16);
}

TEST(Digest, ShaFips180Vectors) {
    EXPECT_EQ(Digest::sha1Hex(String(L"abc")).toStdString(),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Digest::sha1Hex(bytes(MSG_448)).toStdString(),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Digest::sha256Hex(String(L"abc")).toStdString(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest::sha256Hex(bytes(MSG_448)).toStdString(),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest::sha1(bytes("abc")).length(), 20);
    EXPECT_EQ(Digest::sha256(bytes("abc")).length(), 32);
}

TEST(Digest, TextIsHashedAsUtf8) {
    // U+00E9 is C3 A9 in UTF-8; hashing the code unit itself would differ.
    const uint8_t utf8[] = {0xC3, 0xA9};
    EXPECT_EQ(Digest::md5Hex(String(L"\u00e9")), Digest::md5Hex(Binary(utf8, 2)));
}

TEST(Digest, HexBothWays) {
    const uint8_t raw[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(Digest::toHex(raw, 4).toStdString(), "000fa5ff");
    Binary out;
    EXPECT_TRUE(Digest::fromHex(String(L"000FA5ff"), out));
    EXPECT_EQ(out, Binary(raw, 4));
    EXPECT_FALSE(Digest::fromHex(String(L"abc"), out));
    EXPECT_TRUE(out.isEmpty());
    EXPECT_FALSE(Digest::fromHex(String(L"0g"), out));
    EXPECT_TRUE(out.isEmpty());
}

TEST(Tea, Key16TakesMiddleOfMd5Hex) {
    EXPECT_EQ(Tea::key16(String()).toStdString(), "8f00b204e9800998");
    EXPECT_EQ(Tea::key16(String(L"\u00e9")).toStdString(), "cfdeabb2f6fb8a99");
    EXPECT_EQ(Tea::key16(String(L"korvane")).length(), 16);
}

TEST(Tea, KnownCiphertextAndSizes) {
    const Binary key = Tea::key16(String(L"korvane"));
    Binary out;
    ASSERT_TRUE(Tea::encrypt(bytes("hello"), key, out));
    EXPECT_EQ(out, fromHex("770b9134945b14c803"));  // 8 bytes + pad count 3
    ASSERT_TRUE(Tea::encrypt(bytes("0123456789abcdef"), key, out));
    EXPECT_EQ(out, fromHex("b382aed8b0cf2d0ee5b50704df1d235800"));

    ASSERT_TRUE(Tea::encrypt(bytes("12345678"), key, out));
    EXPECT_EQ(out.length(), 9);
    EXPECT_EQ(out[8], 0x00);

    out = bytes("stale");
    ASSERT_TRUE(Tea::encrypt(Binary(), key, out));
    EXPECT_TRUE(out.isEmpty());
    ASSERT_TRUE(Tea::decrypt(Binary(), key, out));
    EXPECT_TRUE(out.isEmpty());
}

TEST(Tea, RoundTripOverManyLengths) {
    const Binary key = Tea::key16(String(L"round trip"));
    std::string plain;
    for (int len = 0; len <= 100; ++len) {
        Binary data = bytes(plain);
        Binary enc, dec;
        ASSERT_TRUE(Tea::encrypt(data, key, enc));
        EXPECT_EQ(enc.length(), len == 0 ? 0 : (len + 7) / 8 * 8 + 1);
        if (len > 0) {
            EXPECT_EQ(enc[enc.length() - 1], (8 - len % 8) % 8);
        }
        ASSERT_TRUE(Tea::decrypt(enc, key, dec));
        EXPECT_EQ(dec, data) << len;
        plain.push_back(static_cast<char>(len * 37 + 11));
    }
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
    big.resize(big.size() - 3);
    Binary data = bytes(big);
    Binary work = data;
    ASSERT_TRUE(Tea::encryptInPlace(work, key));
    EXPECT_NE(work, data);
    ASSERT_TRUE(Tea::decryptInPlace(work, key));
    EXPECT_EQ(work, data);
}

TEST(Tea, EncryptAndDecryptIntoTheSameBinary) {
    const Binary key = Tea::key16(String(L"alias"));
    Binary data = bytes("aliasing input and output");
    const Binary original = data;
    ASSERT_TRUE(Tea::encrypt(data, key, data));
    ASSERT_TRUE(Tea::decrypt(data, key, data));
    EXPECT_EQ(data, original);
}

TEST(Tea, TamperedInputFailsWithEmptyOutput) {
    const Binary key = Tea::key16(String(L"tamper"));
    Binary enc;
    ASSERT_TRUE(Tea::encrypt(bytes("0123456789"), key, enc));  // 16 + trailer 6
    ASSERT_EQ(enc.length(), 17);

    Binary out = bytes("stale");
    Binary shortened(enc.data(), 16);  // body of 15 bytes
    EXPECT_FALSE(Tea::decrypt(shortened, key, out));
    EXPECT_TRUE(out.isEmpty());

    Binary longer = enc;
    longer.append(uint8_t(0));  // body of 17 bytes
    EXPECT_FALSE(Tea::decrypt(longer, key, out));
    EXPECT_TRUE(out.isEmpty());

    Binary oversized = enc;
    oversized[16] = 17;  // more padding than body
    EXPECT_FALSE(Tea::decrypt(oversized, key, out));
    EXPECT_TRUE(out.isEmpty());

    Binary negative = enc;
    negative[16] = 0xF0;  // -16 as a signed byte
    EXPECT_FALSE(Tea::decrypt(negative, key, out));
    EXPECT_TRUE(out.isEmpty());

    Binary full = enc;
    full[16] = 16;  // the whole body is padding: accepted, nothing left
    EXPECT_TRUE(Tea::decrypt(full, key, out));
    EXPECT_TRUE(out.isEmpty());
}

TEST(Tea, KeyMustBeSixteenBytes) {
    const Binary data = bytes("payload");
    for (int len : {0, 15, 17, 32}) {
        Binary key(std::string(static_cast<size_t>(len), 'k').c_str());
        Binary out = bytes("stale");
        EXPECT_FALSE(Tea::encrypt(data, key, out)) << len;
        EXPECT_TRUE(out.isEmpty());
        out = bytes("stale");
        EXPECT_FALSE(Tea::decrypt(fromHex("770b9134945b14c803"), key, out)) << len;
        EXPECT_TRUE(out.isEmpty());
    }
}

TEST(Base64, RoundTripAndKnownTexts) {
    EXPECT_EQ(Base64::encode(bytes("")).toStdString(), "");
    EXPECT_EQ(Base64::encode(bytes("f")).toStdString(), "Zg==");
    EXPECT_EQ(Base64::encode(bytes("fo")).toStdString(), "Zm8=");
    EXPECT_EQ(Base64::encode(bytes("foo")).toStdString(), "Zm9v");
    EXPECT_EQ(Base64::encode(bytes("foobar")).toStdString(), "Zm9vYmFy");
    const uint8_t high[] = {0xfb, 0xff, 0xbf};
    EXPECT_EQ(Base64::encode(high, 3).toStdString(), "+/+/");

    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t len = 0; len <= all.size(); len += 17) {
        Binary data = bytes(all.substr(0, len));
        Binary back;
        ASSERT_TRUE(Base64::decode(Base64::encode(data), back));
        EXPECT_EQ(back, data) << len;
        std::string ascii = Base64::encode(data).toStdString();
        ASSERT_TRUE(Base64::decode(ascii.data(), ascii.size(), back));
        EXPECT_EQ(back, data) << len;
    }
}

TEST(Base64, RejectsInvalidInput) {
    const wchar_t* bad[] = {L"Zg=",  L"Zg",   L"Z===", L"====", L"Zg=a",     L"Zm9v\n",
                            L"Zm 9", L"Zm9-", L"Zm9_", L"=Zm9", L"Zg==Zg==", L"Zm\u00e9v"};
    for (const wchar_t* text : bad) {
        Binary out = bytes("stale");
        EXPECT_FALSE(Base64::decode(String(text), out)) << String(text).toStdString();
        EXPECT_TRUE(out.isEmpty());
    }
}
