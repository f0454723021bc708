#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/crypto/Base64.h"
#include "core/src/crypto/Tea.h"
#include "core/src/misc/FileUtil.h"
#include "core/src/value/AnyConvert.h"
#include "tunnel_wrapper/BuiltInConfig.h"
#include "tunnel_wrapper/Config.h"
#include "tunnel_wrapper/ConfigCodec.h"
#include "tunnel_wrapper/TunnelWrapper.h"

using kx::core::AnyDictionary;
using kx::core::Binary;
using kx::core::String;
using tunnel::Config;
using tunnel::ConfigCodec;
using tunnel::TunnelWrapper;

namespace {

String encoded(const char* json) {
    String text;
    EXPECT_TRUE(ConfigCodec::encode(String::fromUtf8(json), &text)) << json;
    return text;
}

TEST(ConfigCodecTest, EncodeThenDecodeGivesTheSameObject) {
    const char* const cases[] = {
        R"j({"u": "http://127.0.0.1:7300", "h": [["127.0.0.1"]], "e": "tea(p)"})j",
        R"j({})j",
        R"j({"u": "https://api.example.test/v1", "h": [["a", "b"], ["c"]], "e": "tea(x); tea(y)"})j",
        "{\"e\": \"tea(\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87)\", \"pad\": \"1234567\"}",
    };
    for (const char* json : cases) {
        const String text = encoded(json);
        EXPECT_EQ(text.length() % 4, 0) << json;
        Binary plain;
        ASSERT_TRUE(ConfigCodec::decipher(text, &plain)) << json;
        EXPECT_EQ(String::fromUtf8(plain), String::fromUtf8(json));
        AnyDictionary object;
        EXPECT_TRUE(ConfigCodec::decode(text, &object)) << json;
    }
}

TEST(ConfigCodecTest, RefusesWhatIsNoEncipheredObject) {
    String text;
    EXPECT_FALSE(ConfigCodec::encode(L"[1, 2]", &text));
    EXPECT_TRUE(text.isEmpty());
    EXPECT_FALSE(ConfigCodec::encode(L"{\"u\": ", &text));

    AnyDictionary object;
    const String good = encoded(R"j({"u": "x"})j");
    EXPECT_FALSE(ConfigCodec::decode(good.substring(1), &object));  // not a multiple of 4
    EXPECT_FALSE(ConfigCodec::decode(L"AAAA", &object));            // no pad trailer fits
    EXPECT_FALSE(ConfigCodec::decode(L"", &object));
    // Enciphered under another key: deciphers to noise or not at all.
    Binary cipher;
    ASSERT_TRUE(kx::core::Tea::encrypt(Binary(R"j({"u": "x"})j"),
                                       kx::core::Tea::key16(L"another-key"), cipher));
    EXPECT_FALSE(ConfigCodec::decode(kx::core::Base64::encode(cipher), &object));
}

TEST(ConfigCodecTest, TheKeyIsTheMiddleOfTheConstantsDigest) {
    const Binary key = ConfigCodec::key();
    ASSERT_EQ(key.length(), 16);
    for (int32_t i = 0; i < key.length(); ++i) {
        const char c = static_cast<char>(key.data()[i]);
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << i;
    }
}

TEST(ConfigTest, TheBuiltInTextDecodesToThePlainFileItWasMadeFrom) {
    Binary file;
    ASSERT_TRUE(kx::core::FileUtil::readAll(String::fromUtf8(KORVANE_BUILTIN_CONFIG_JSON), file));
    Binary plain;
    ASSERT_TRUE(ConfigCodec::decipher(String::fromUtf8(tunnel::BuiltInConfig::text()), &plain));
    EXPECT_EQ(String::fromUtf8(plain), String::fromUtf8(file));

    const Config config(String::fromUtf8(tunnel::BuiltInConfig::text()));
    EXPECT_FALSE(config.apiUrl().isEmpty());
    EXPECT_FALSE(config.hostGroups().isEmpty());
}

TEST(ConfigTest, AccessorsConvertTheirKeys) {
    const Config config(encoded(R"j({"u": "http://127.0.0.1:7300/api",
        "h": [["127.0.0.1", 7], "stray", [], ["127.0.0.2"]], "e": "tea(lab)"})j"));
    EXPECT_EQ(config.apiUrl(), String(L"http://127.0.0.1:7300/api"));
    const auto groups = config.hostGroups();
    ASSERT_EQ(groups.size(), 3);  // the text element is no group
    ASSERT_EQ(groups[0].size(), 2);
    EXPECT_EQ(groups[0][1], String(L"7"));
    EXPECT_TRUE(groups[1].isEmpty());
    EXPECT_EQ(groups[2][0], String(L"127.0.0.2"));
    EXPECT_EQ(config.encryptorSpec(), String(L"tea(lab)"));

    const Config sparse(encoded(R"j({"u": 5, "h": "127.0.0.1"})j"));
    EXPECT_EQ(sparse.apiUrl(), String(L"5"));
    EXPECT_TRUE(sparse.hostGroups().isEmpty());
    EXPECT_TRUE(sparse.encryptorSpec().isEmpty());
    EXPECT_TRUE(sparse.pins().isEmpty());
}

// A "p" that is no list of texts must not end up as "no pins" (which would
// accept any publicly trusted certificate): it becomes texts that are no pins.
TEST(ConfigTest, PinsAreTextsAndAnythingElseStaysRefusable) {
    struct Case {
        const char* json;
        std::vector<std::string> pins;
    } cases[] = {
        {R"j({"p": ["a2V5MQ==", "a2V5Mg=="]})j", {"a2V5MQ==", "a2V5Mg=="}},
        {R"j({"p": "a2V5MQ=="})j", {"a2V5MQ=="}},
        {R"j({"p": [7]})j", {"(not a text)"}},
        {R"j({"p": {"k": 1}})j", {"(not a list)"}},
        {R"j({"p": []})j", {}},
    };
    for (const Case& c : cases) {
        const kx::core::Strings pins = Config(encoded(c.json)).pins();
        std::vector<std::string> got;
        for (const String& pin : pins) got.push_back(pin.toStdString());
        EXPECT_EQ(c.pins, got) << c.json;
    }
}

TEST(ConfigDeathTest, ATextThatDoesNotDecodeIsABuildFault) {
    EXPECT_EXIT(Config(L"AAAA").apiUrl(), ::testing::ExitedWithCode(255), "Bad config data");
    Binary cipher;
    ASSERT_TRUE(kx::core::Tea::encrypt(Binary("not json"), ConfigCodec::key(), cipher));
    EXPECT_EXIT(Config(kx::core::Base64::encode(cipher)).encryptorSpec(),
                ::testing::ExitedWithCode(255), "Bad config format");
}

TEST(StorageTest, StemsArePerAccessKeyAndAlwaysValid) {
    struct Case {
        const wchar_t* accessKey;
        const char* stem;  // MD5 of "tunnel-" + key
    } const cases[] = {
        {L"12345", "ffdf1dce58dfe8e5cbb09bcfd3011ffb"},
        {L"", "2452c347fd5547acb98ed73d9d645ca9"},
        {L"demo-access-key", "f7d925a985b92a6fd9f373d404bd477e"},
        {L"\x043a\x043b\x044e\x0447", "b29181061a7a5cc3674506a64cf13c40"},  // UTF-8 before MD5
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TunnelWrapper::storageStem(c.accessKey).toStdString(), c.stem);
        EXPECT_EQ(TunnelWrapper::lockFilePath(L"/d/Korvane", c.accessKey).toStdString(),
                  std::string("/d/Korvane/storage/") + c.stem + ".lock");
        EXPECT_EQ(TunnelWrapper::tokenFilePath(L"/d/Korvane", c.accessKey).toStdString(),
                  std::string("/d/Korvane/storage/") + c.stem + ".cfg");
    }
}

}  // namespace
