#include <gtest/gtest.h>

#include "core/src/crypto/Tea.h"
#include "tunnel_launcher/encrypt/Encryptor.h"

using kx::core::Binary;
using kx::core::String;
using kx::core::Tea;
using tunnel::Encryptor;

namespace {

Binary teaWith(const Binary& data, const String& keyText) {
    Binary out;
    EXPECT_TRUE(Tea::encrypt(data, Tea::key16(keyText), out));
    return out;
}

}  // namespace

TEST(EncryptorTest, SpecItemsBuildTheChain) {
    const Binary body("{\"jsonrpc\":\"2.0\"}");
    struct Case {
        const wchar_t* spec;
        bool encodes;
        // The expected ciphertext, built from the item passphrases in order.
        std::vector<const wchar_t*> passes;
    } cases[] = {
        {L"", false, {}},
        {L"rot13(x); none", false, {}},
        {L"tea(pass)", true, {L"pass"}},
        {L"  TEA(pass)  ", true, {L"pass"}},   // name compared lower-cased, item trimmed
        {L"Tea(a); tea(b)", true, {L"a", L"b"}},
        {L"tea(a);;junk(q); tea(b);", true, {L"a", L"b"}},
        {L"tea(with space)", true, {L"with space"}},
    };
    for (const Case& c : cases) {
        Encryptor encryptor(c.spec);
        EXPECT_EQ(c.encodes, encryptor.hasEncoders()) << String(c.spec).toStdString();
        Binary expected = body;
        for (const wchar_t* pass : c.passes) expected = teaWith(expected, String(pass) + L"nonce1700000000");
        Binary encoded = encryptor.encode(body, L"nonce1700000000");
        EXPECT_EQ(expected, encoded) << String(c.spec).toStdString();
        // Decoders run in reverse, so a chain always undoes itself.
        EXPECT_EQ(body, encryptor.decode(encoded, L"nonce1700000000")) << String(c.spec).toStdString();
    }
}

TEST(EncryptorTest, SizesAndFailures) {
    Encryptor encryptor(L"tea(p)");
    struct Case {
        int32_t plain;
        int32_t cipher;
        int trailer;
    } sizes[] = {{0, 0, -1}, {5, 9, 3}, {7, 9, 1}, {8, 9, 0}, {16, 17, 0}};
    for (const auto& s : sizes) {
        Binary data;
        for (int32_t i = 0; i < s.plain; ++i) data.append(uint8_t(i * 13));
        Binary out = encryptor.encode(data, L"k");
        ASSERT_EQ(s.cipher, out.length()) << s.plain;
        if (s.trailer >= 0) {
            EXPECT_EQ(s.trailer, out[out.length() - 1]);
        }
    }

    Binary good = encryptor.encode(Binary("0123456789"), L"k");
    Binary cut(good.data(), good.length() - 2);
    Binary badPad = good;
    badPad[badPad.length() - 1] = 0x7F;
    Binary negativePad = good;
    negativePad[negativePad.length() - 1] = 0xFF;
    for (const Binary& broken : {cut, badPad, negativePad}) EXPECT_TRUE(encryptor.decode(broken, L"k").isEmpty());
    // A wrong key deciphers to something else, never to the plaintext.
    EXPECT_NE(Binary("0123456789"), encryptor.decode(good, L"other"));
    // A failed first stage must not feed the second one half-decoded bytes.
    Encryptor chain(L"tea(a); tea(b)");
    EXPECT_TRUE(chain.decode(cut, L"k").isEmpty());
}
