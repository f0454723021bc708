#include <gtest/gtest.h>

#include "net/src/url/URL.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::URL;

namespace {

void expectParts(const URL& url, const wchar_t* scheme, const wchar_t* host, const wchar_t* path,
                 const wchar_t* query, const wchar_t* fragment) {
    EXPECT_EQ(url.scheme(), String(scheme));
    EXPECT_EQ(url.host(), String(host));
    EXPECT_EQ(url.path(), String(path));
    EXPECT_EQ(url.query(), String(query));
    EXPECT_EQ(url.fragment(), String(fragment));
}

std::string bytes(const Binary& b) {
    return b.toStdString();
}

}  // namespace

TEST(URLTest, SplitsAllFivePartsAndJoinsThemBack) {
    URL url(L"s://h:8080/x/y?k=v#top");
    expectParts(url, L"s", L"h:8080", L"/x/y", L"k=v", L"top");
    EXPECT_EQ(url.toString(), String(L"s://h:8080/x/y?k=v#top"));
    EXPECT_EQ(url.toString(true, true, false, false, false), String(L"s://h:8080"));
    EXPECT_EQ(url.toString(false, false, true, true, false), String(L"/x/y?k=v"));

    URL bare(L"s://h:443");
    expectParts(bare, L"s", L"h:443", L"", L"", L"");
    EXPECT_EQ(bare.toString(), String(L"s://h:443"));
}

TEST(URLTest, SchemeOnlyWhenTheTextBeforeSeparatorIsPlain) {
    expectParts(URL(L"h/p?q#f"), L"", L"h", L"/p", L"q", L"f");
    // The text before "://" holds a "/": no scheme, the scan starts at the front.
    expectParts(URL(L"s:/x://y"), L"", L"s:", L"/x://y", L"", L"");
    expectParts(URL(L"/a?x=s://b"), L"", L"", L"/a", L"x=s://b", L"");
    expectParts(URL(L"a#b://c"), L"", L"a", L"", L"", L"b://c");
}

TEST(URLTest, StopCharactersEndEachPart) {
    // "?" inside the fragment stays there; "#" ends the query; "/" in the query stays.
    expectParts(URL(L"s://h#f?g/h"), L"s", L"h", L"", L"", L"f?g/h");
    expectParts(URL(L"s://h?a/b#c#d"), L"s", L"h", L"", L"a/b", L"c#d");
    expectParts(URL(L"s://h/"), L"s", L"h", L"/", L"", L"");
    expectParts(URL(L"s://"), L"s", L"", L"", L"", L"");
    expectParts(URL(L""), L"", L"", L"", L"", L"");
    // An empty query is dropped when joining.
    EXPECT_EQ(URL(L"s://h/p?#").toString(), String(L"s://h/p"));
}

TEST(URLTest, NarrowAndNullConstruction) {
    expectParts(URL("https://api.example:9/util"), L"https", L"api.example:9", L"/util", L"", L"");
    expectParts(URL(static_cast<const char*>(nullptr)), L"", L"", L"", L"", L"");
    expectParts(URL(static_cast<const wchar_t*>(nullptr)), L"", L"", L"", L"", L"");
}

TEST(URLTest, EncodeKeepsOnlyTheUnreservedSet) {
    EXPECT_EQ(URL::encode(Binary("a &")), String(L"a%20%26"));
    EXPECT_EQ(URL::encode(Binary("AZaz09!'()*-._~+/?=%")),
              String(L"AZaz09!'()*-._~%2B%2F%3F%3D%25"));
    EXPECT_EQ(URL::encode(String(L"中").toUtf8()), String(L"%E4%B8%AD"));
}

TEST(URLTest, DecodeHandlesPlusEscapesAndCutEscapes) {
    EXPECT_EQ(bytes(URL::decode(L"a+b%2")), std::string("a b"));
    EXPECT_EQ(bytes(URL::decode(L"x%4")), std::string("x"));
    EXPECT_EQ(bytes(URL::decode(L"%41%6a%6A")), std::string("Ajj"));
    // Not an escape: the "%" is an ordinary character.
    EXPECT_EQ(bytes(URL::decode(L"%zz%4g")), std::string("%zz%4g"));
    EXPECT_EQ(URL::decode(L"%00").length(), 1);
    // Round trip of arbitrary bytes.
    Binary all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<uint8_t>(i));
    EXPECT_EQ(URL::decode(URL::encode(all)), all);
}

TEST(URLTest, DecodeKeepsRawNonAsciiTextReadable) {
    // Regression: a raw non-ASCII character used to lose all but its low byte.
    EXPECT_EQ(String::fromUtf8(URL::decode(L"名=中文")), String(L"名=中文"));
}

TEST(URLTest, BuildQueryInKeyOrder) {
    EXPECT_EQ(URL::buildQuery(URL::Query()), String(L""));
    URL::Query query;
    query.set(L"b", L"2 3");
    query.set(L"a", L"x&y=z");
    query.set(L"c", L"");
    EXPECT_EQ(URL::buildQuery(query), String(L"a=x%26y%3Dz&b=2%203&c="));
    EXPECT_EQ(URL::parseQuery(URL::buildQuery(query)), query);

    URL::Query wide;
    wide.set(L"键", L"值 ");
    EXPECT_EQ(URL::buildQuery(wide), String(L"%E9%94%AE=%E5%80%BC%20"));
    EXPECT_EQ(URL::parseQuery(URL::buildQuery(wide)), wide);
}

TEST(URLTest, ParseQueryDuplicatesMissingValuesAndEmptyPieces) {
    URL::Query query = URL::parseQuery(L"a=1&b&a=2");
    EXPECT_EQ(query.size(), 2);
    EXPECT_EQ(query.get(L"a"), String(L"2"));
    ASSERT_TRUE(query.contains(L"b"));
    EXPECT_EQ(query.get(L"b"), String(L""));

    query = URL::parseQuery(L"k=a=b&sp=a+b%20c&u=%E4%B8%AD");
    EXPECT_EQ(query.get(L"k"), String(L"a=b"));
    EXPECT_EQ(query.get(L"sp"), String(L"a b c"));
    EXPECT_EQ(query.get(L"u"), String(L"中"));

    // Empty pieces add no phantom empty key.
    EXPECT_TRUE(URL::parseQuery(L"").isEmpty());
    query = URL::parseQuery(L"&a=1&&");
    EXPECT_EQ(query.size(), 1);
    EXPECT_EQ(query.get(L"a"), String(L"1"));
    // An empty key with a value is still a pair.
    EXPECT_EQ(URL::parseQuery(L"=v").get(L""), String(L"v"));
    // Bytes that are not UTF-8 read as the empty text.
    EXPECT_EQ(URL::parseQuery(L"bad=%FF").get(L"bad"), String(L""));
}

TEST(URLTest, SplitAuthorityTakesBracketedIpv6AndKeepsTheFirstColonRuleOtherwise) {
    struct Case {
        const wchar_t* authority;
        bool ok;
        const wchar_t* host;
        const wchar_t* port;
    };
    const Case cases[] = {
        {L"[::1]:8443", true, L"::1", L"8443"},
        {L"[::1]", true, L"::1", L""},
        {L"[2001:db8::5]:80", true, L"2001:db8::5", L"80"},
        {L"api.example:443", true, L"api.example", L"443"},
        {L"127.0.0.1:8080", true, L"127.0.0.1", L"8080"},
        {L"host", true, L"host", L""},
        {L"", true, L"", L""},
        {L"[::1", false, L"-", L"-"},
        {L"[::1]8443", false, L"-", L"-"},
    };
    for (const Case& c : cases) {
        String host(L"-"), port(L"-");
        EXPECT_EQ(c.ok, URL::splitAuthority(c.authority, &host, &port)) << String(c.authority).toStdString();
        EXPECT_EQ(String(c.host), host) << String(c.authority).toStdString();
        EXPECT_EQ(String(c.port), port) << String(c.authority).toStdString();
    }
    URL url(L"https://[::1]:8443/rpc?x=1");
    EXPECT_EQ(String(L"[::1]:8443"), url.host());
    EXPECT_EQ(String(L"/rpc"), url.path());
}
