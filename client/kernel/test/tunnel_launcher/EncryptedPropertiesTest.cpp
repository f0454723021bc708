#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/src/crypto/Tea.h"
#include "core/src/misc/FileUtil.h"
#include "tunnel_launcher/EncryptedProperties.h"

using kx::core::Binary;
using kx::core::FileUtil;
using kx::core::String;
using tunnel::EncryptedProperties;

namespace {

class EncryptedPropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kx-props-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        m_dir = String::fromUtf8(tmpl);
        m_path = m_dir + L"/sub/token.dat";
    }
    void TearDown() override { std::system(("rm -rf " + m_dir.toStdString()).c_str()); }

    Binary fileBytes() {
        Binary data;
        FileUtil::readAll(m_path, data);
        return data;
    }

    String m_dir;
    String m_path;
};

}  // namespace

TEST_F(EncryptedPropertiesTest, RoundTripAndFileFormat) {
    {
        EncryptedProperties store(m_path, L"");
        EXPECT_FALSE(store.loadFailed());
        EXPECT_TRUE(store.get(L"client.token").isEmpty());
        EXPECT_TRUE(store.set(L"client.token", L"tok-1"));
        EXPECT_TRUE(store.set(L"a.dir", L"%APP_DIR%/x"));
        EXPECT_TRUE(store.set(L"nested", L"{a{b}}"));
        EXPECT_TRUE(store.set(L"utf", L"令牌"));
        EXPECT_EQ(EncryptedProperties::appDirectory() + L"/x", store.get(L"a.dir"));
    }
    // No password: the file is the entries in clear, in key order.
    EXPECT_EQ("a.dir{%APP_DIR%/x}\r\nclient.token{tok-1}\r\nnested{{a{b}}}\r\nutf{\xe4\xbb\xa4\xe7\x89\x8c}\r\n",
              fileBytes().toStdString());
    EncryptedProperties reread(m_path, L"");
    EXPECT_EQ(String(L"tok-1"), reread.get(L"client.token"));
    EXPECT_EQ(String(L"{a{b}}"), reread.get(L"nested"));
    EXPECT_EQ(String(L"令牌"), reread.get(L"utf"));

    // With a password the same text is enciphered under key16(password).
    String enciphered = m_dir + L"/enc.dat";
    {
        EncryptedProperties store(enciphered, L"secret-prefix-0123");
        store.set(L"client.token", L"tok-2");
    }
    Binary data;
    ASSERT_TRUE(FileUtil::readAll(enciphered, data));
    Binary plain;
    ASSERT_TRUE(kx::core::Tea::decrypt(data, kx::core::Tea::key16(L"secret-prefix-0123"), plain));
    EXPECT_EQ("client.token{tok-2}\r\n", plain.toStdString());
    EXPECT_EQ(String(L"tok-2"), EncryptedProperties(enciphered, L"secret-prefix-0123").get(L"client.token"));
}

TEST_F(EncryptedPropertiesTest, ParserRules) {
    struct Case {
        const wchar_t* text;
        bool complete;
        const wchar_t* key;
        const wchar_t* value;
    } cases[] = {
        {L"k{v}\r\n", true, L"k", L"v"},
        {L"  \r\n k{v}", true, L"k", L"v"},
        {L"junk k{v}", true, L"k", L"v"},          // a blank inside a key restarts it
        {L"k{a}b}\r\n", true, L"k", L"a"},         // unbalanced "}" cuts the value short
        {L"k{1}k{2}", true, L"k", L"2"},           // a later key wins
        {L"k{v}\r\nother{unfinished", false, L"k", L"v"},
        {L"k{v}\r\ndangling", false, L"k", L"v"},
    };
    for (const Case& c : cases) {
        EncryptedProperties::Values raw;
        EXPECT_EQ(c.complete, EncryptedProperties::parse(c.text, raw)) << String(c.text).toStdString();
        EXPECT_EQ(String(c.value), raw.get(c.key)) << String(c.text).toStdString();
    }
}

TEST_F(EncryptedPropertiesTest, EntriesTheFileCannotCarryAreRefused) {
    EncryptedProperties store(m_path, L"pw");
    for (const auto& kv : {std::make_pair(L"", L"v"), std::make_pair(L"a b", L"v"), std::make_pair(L"a{", L"v"),
                           std::make_pair(L"k", L"x}y"), std::make_pair(L"k", L"{x")}) {
        EXPECT_FALSE(store.set(kv.first, kv.second)) << String(kv.first).toStdString();
    }
    EXPECT_FALSE(FileUtil::exists(m_path));
}

// A token file we cannot read back must fail clearly and must never be
// overwritten in place: it may hold a good token under another password.
TEST_F(EncryptedPropertiesTest, DamagedFilesFailAndAreKeptAside) {
    const String password = L"launcher-prefix-abc";
    {
        EncryptedProperties store(m_path, password);
        store.set(L"client.token", L"tok-good-0123456789");
        store.set(L"other", L"value");
    }
    const Binary good = fileBytes();
    ASSERT_GT(good.length(), 17);

    Binary truncated(good.data(), good.length() - 1);
    Binary blockCut(good.data(), good.length() - 9);
    Binary flipped = good;
    flipped[3] ^= 0x10;
    Binary lastBlockFlipped = good;
    lastBlockFlipped[good.length() - 4] ^= 0x01;
    struct Case {
        const char* name;
        Binary bytes;
        String password;
    } cases[] = {
        {"wrong password", good, L"another-password"},
        {"truncated by one byte", truncated, password},
        {"truncated by a block", blockCut, password},
        {"bit flipped", flipped, password},
        {"last block flipped", lastBlockFlipped, password},
        {"not ours at all", Binary("\xff\xfe garbage"), L""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(FileUtil::writeAll(m_path, c.bytes));
        FileUtil::remove(m_path + L".bad");
        EncryptedProperties store(m_path, c.password);
        EXPECT_TRUE(store.loadFailed()) << c.name;
        EXPECT_FALSE(store.errorText().isEmpty()) << c.name;
        EXPECT_TRUE(store.get(L"client.token").isEmpty()) << c.name;
        // The next set keeps the unreadable bytes aside, then writes anew.
        EXPECT_TRUE(store.set(L"client.token", L"tok-new")) << c.name;
        Binary kept;
        EXPECT_TRUE(FileUtil::readAll(m_path + L".bad", kept)) << c.name;
        EXPECT_EQ(c.bytes, kept) << c.name;
        EXPECT_FALSE(store.loadFailed()) << c.name;
        EXPECT_EQ(String(L"tok-new"), EncryptedProperties(m_path, c.password).get(L"client.token")) << c.name;
    }
    // The original password still reads the kept copy.
    ASSERT_TRUE(FileUtil::writeAll(m_path, good));
    EXPECT_EQ(String(L"tok-good-0123456789"), EncryptedProperties(m_path, password).get(L"client.token"));
}
