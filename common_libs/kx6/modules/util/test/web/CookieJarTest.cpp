#include <gtest/gtest.h>

#include "util/src/web/CookieJar.h"
#include "web/FakeHttpAccess.h"

using kx::core::String;
using kx::net::URL;
using kx::util::Cookie;
using kx::util::CookieJar;
using kx::util::testing::u8;

TEST(CookieJarTest, ParsesNameValueAndDomainPathAttributes) {
    Cookie c;
    ASSERT_TRUE(
        CookieJar::parse(L"token=a=b; Expires=Wed; DOMAIN = .Example.COM ;Path=/api; Secure",
                         URL(L"https://www.example.com/x"), c));
    EXPECT_EQ(u8(c.name), "token");
    EXPECT_EQ(u8(c.value), "a=b");
    EXPECT_EQ(u8(c.domain), ".Example.COM");
    EXPECT_EQ(u8(c.path), "/api");
    EXPECT_EQ(u8(c.toString()), "token=a=b; domain=.Example.COM; path=/api");

    // Defaults: the request host without its port, and the request path.
    ASSERT_TRUE(CookieJar::parse(L"k=", URL(L"http://h.test:8080/a/b?q"), c));
    EXPECT_EQ(u8(c.domain), "h.test");
    EXPECT_EQ(u8(c.path), "/a/b");
    EXPECT_EQ(u8(c.value), "");
}

TEST(CookieJarTest, RejectsMalformedAndForeignCookies) {
    Cookie c;
    const URL url(L"http://api.test/");
    EXPECT_FALSE(CookieJar::parse(L"", url, c));
    EXPECT_FALSE(CookieJar::parse(L"novalue", url, c));
    // The pair ends at the first ";": attributes never leak into the name.
    EXPECT_FALSE(CookieJar::parse(L"flag; path=/", url, c));
    EXPECT_FALSE(CookieJar::parse(L"=v", url, c));
    EXPECT_FALSE(CookieJar::parse(L"a=b\x01", url, c));
    // A server cannot plant cookies for another domain.
    EXPECT_FALSE(CookieJar::parse(L"a=b; domain=bank.test", url, c));
    EXPECT_FALSE(CookieJar::parse(L"a=b; domain=pi.test", url, c));
    EXPECT_TRUE(CookieJar::parse(L"a=b; domain=API.test", url, c));
    EXPECT_TRUE(CookieJar::parse(L"a=b; domain=.", url, c));  // no usable domain: host only
    EXPECT_EQ(u8(c.domain), "api.test");
}

TEST(CookieJarTest, HostOnlyCookieMatchesHostAndSubdomains) {
    CookieJar jar;
    ASSERT_TRUE(jar.add(L"a=1", URL(L"http://api.test/")));
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://api.test/other"))), "a=1");
    EXPECT_EQ(u8(jar.cookieText(URL(L"https://API.test:444/"))), "a=1");
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://eu.api.test/"))), "a=1");
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://xapi.test/"))), "");
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://test/"))), "");
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://api.test.evil/"))), "");
}

TEST(CookieJarTest, WildcardDomainsAndReplacementInPlace) {
    CookieJar jar;
    jar.add(Cookie(L"*.corp.test", L"/", L"w", L"1"));
    jar.add(Cookie(L"other.test", L"/", L"o", L"1"));
    jar.add(Cookie(L".corp.test", L"/", L"z", L"1"));
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://a.corp.test/"))), "w=1; z=1");
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://corp.test/"))), "w=1; z=1");

    // Same domain (after normalising) and name: replaced where it stood.
    jar.add(Cookie(L"CORP.test", L"/p", L"w", L"2"));
    ASSERT_EQ(jar.cookies().size(), 3);
    EXPECT_EQ(u8(jar.cookies()[0].value), "2");
    EXPECT_EQ(u8(jar.cookies()[0].path), "/p");
    // Same name on another domain is a different cookie.
    jar.add(Cookie(L"b.corp.test", L"/", L"w", L"3"));
    EXPECT_EQ(jar.cookies().size(), 4);
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://b.corp.test/"))), "w=2; z=1; w=3");
    jar.clear();
    EXPECT_EQ(u8(jar.cookieText(URL(L"http://b.corp.test/"))), "");
}
