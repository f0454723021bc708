#include <gtest/gtest.h>

#include "core/src/time/Clock.h"
#include "util/src/web/WebClient.h"
#include "web/FakeHttpAccess.h"

using kx::core::Binary;
using kx::core::Clock;
using kx::core::String;
using kx::net::URL;
using kx::util::WebClient;
using kx::util::testing::FakeHttpAccess;
using kx::util::testing::u8;

namespace {

class WebClientTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::freeze(1000000); }
    void TearDown() override { Clock::resetForTests(); }

    bool get(const wchar_t* url, bool follow = true) {
        return client.request(L"GET", URL(url), WebClient::Headers(), WebClient::Content(), follow);
    }

    FakeHttpAccess access;
    WebClient client{&access};
};

FakeHttpAccess::Reply redirect(int32_t status, const wchar_t* location) {
    FakeHttpAccess::Reply reply{true, FakeHttpAccess::response(status)};
    reply.response.headers.set(L"Location", location);
    return reply;
}

}  // namespace

TEST_F(WebClientTest, GetCarriesTheStandardHeadersOnly) {
    access.answer(200, "ok");
    ASSERT_TRUE(get(L"http://api.test:8080"));
    ASSERT_EQ(access.calls.size(), 1u);
    const kx::net::HttpRequest& r = access.last();
    EXPECT_EQ(u8(r.method), "GET");
    EXPECT_EQ(u8(r.url), "http://api.test:8080/");  // empty path goes out as "/"
    EXPECT_EQ(u8(r.version), "HTTP/1.1");
    EXPECT_EQ(access.header(0, L"Host"), "api.test:8080");
    EXPECT_EQ(access.header(0, L"Accept"), "*/*");
    EXPECT_EQ(access.header(0, L"Accept-Language"), "zh-cn");
    EXPECT_EQ(access.header(0, L"Cache-Control"), "no-cache");
    EXPECT_EQ(access.header(0, L"Connection"), "Keep-Alive");
    EXPECT_EQ(access.header(0, L"Cookie"), "");
    EXPECT_EQ(r.headers.size(), 6);  // no User-Agent, Referer, Origin or Content-*
    EXPECT_TRUE(r.body.isEmpty());
    EXPECT_FALSE(access.calls[0].secure);
    EXPECT_EQ(client.lastResponse().body.toStdString(), "ok");
    EXPECT_EQ(client.lastUrl(), URL(L"http://api.test:8080"));
}

TEST_F(WebClientTest, PostAddsOriginContentAndOwnerHeaders) {
    client.setUserAgent(L"Korvane/1.0");
    client.setReferer(URL(L"https://ref.test/page#top"));
    WebClient::Headers extra;
    extra.set(L"accept", L"application/json");  // replaces "Accept" whatever its case
    extra.set(L"X-Ca-Nonce", L"n1");
    access.answer(200);
    ASSERT_TRUE(client.request(L"POST", URL(L"HTTPS://api.test/account?x=1#frag"), extra,
                               WebClient::Content(L"application/json", Binary("{\"a\":1}")), true));
    const kx::net::HttpRequest& r = access.last();
    EXPECT_TRUE(access.calls[0].secure);
    EXPECT_EQ(u8(r.url), "HTTPS://api.test/account?x=1");
    EXPECT_EQ(access.header(0, L"Origin"), "HTTPS://api.test");
    EXPECT_EQ(access.header(0, L"Content-Type"), "application/json");
    EXPECT_EQ(access.header(0, L"Content-Length"), "7");
    EXPECT_EQ(r.body.toStdString(), "{\"a\":1}");
    EXPECT_EQ(access.header(0, L"accept"), "application/json");
    EXPECT_EQ(access.header(0, L"Accept"), "<none>");
    EXPECT_EQ(access.header(0, L"X-Ca-Nonce"), "n1");
    EXPECT_EQ(access.header(0, L"User-Agent"), "Korvane/1.0");
    EXPECT_EQ(access.header(0, L"Referer"), "https://ref.test/page");

    // PUT sends the body but no Origin; GET never sends content.
    access.answer(200);
    client.request(L"PUT", URL(L"http://h/p"), WebClient::Headers(),
                   WebClient::Content(L"text/plain", Binary("abc")), true);
    EXPECT_EQ(access.header(1, L"Origin"), "<none>");
    EXPECT_EQ(access.header(1, L"Content-Length"), "3");
    access.answer(200);
    client.request(L"GET", URL(L"http://h/p"), WebClient::Headers(),
                   WebClient::Content(L"text/plain", Binary("abc")), true);
    EXPECT_EQ(access.header(2, L"Content-Length"), "<none>");
    EXPECT_TRUE(access.calls[2].request.body.isEmpty());
}

TEST_F(WebClientTest, FailuresAndErrorStatuses) {
    WebClient detached(nullptr);
    EXPECT_FALSE(detached.request(L"GET", URL(L"http://h/"), WebClient::Headers(),
                                  WebClient::Content(), true));

    // An error status arrives: false, but the answer stays readable.
    access.answer(500, "boom", L"Internal Server Error");
    EXPECT_FALSE(get(L"http://h/a"));
    EXPECT_EQ(client.lastResponse().status, 500);
    EXPECT_EQ(client.lastResponse().body.toStdString(), "boom");
    EXPECT_TRUE(client.lastUrl().host().isEmpty());

    // No answer at all: status -1, the lower layer's reason kept.
    access.fail(L"无法连接");
    EXPECT_FALSE(get(L"http://h/a"));
    EXPECT_EQ(client.lastResponse().status, -1);
    EXPECT_EQ(u8(client.lastResponse().reason), "无法连接");

    // The previous answer is forgotten before the next request.
    access.answer(204);
    EXPECT_TRUE(get(L"http://h/b"));
    EXPECT_TRUE(client.lastResponse().reason.isEmpty());
    EXPECT_EQ(client.lastUrl(), URL(L"http://h/b"));
}

TEST_F(WebClientTest, CookiesAreStoredAndSentBack) {
    kx::net::HttpResponse first = FakeHttpAccess::response(200);
    // Repeated Set-Cookie headers arrive joined by CRLF.
    first.headers.set(L"set-cookie", L"SID=abc; Path=/; HttpOnly\r\nlang=zh; Domain=.api.test");
    access.answer(first);
    access.answer(200);
    access.answer(200);
    access.answer(200);
    ASSERT_TRUE(get(L"http://api.test:8080/login"));
    ASSERT_EQ(client.cookieJar().cookies().size(), 2);

    ASSERT_TRUE(get(L"http://api.test:8080/next"));
    EXPECT_EQ(access.header(1, L"Cookie"), "SID=abc; lang=zh");
    ASSERT_TRUE(get(L"http://eu.api.test/x"));
    EXPECT_EQ(access.header(2, L"Cookie"), "SID=abc; lang=zh");
    ASSERT_TRUE(get(L"http://other.test/x"));
    EXPECT_EQ(access.header(3, L"Cookie"), "");
}

TEST_F(WebClientTest, RelativeAndAbsoluteRedirectsKeepMethodAndContent) {
    FakeHttpAccess::Reply moved = redirect(302, L"/moved?id=2");
    moved.response.headers.set(L"Set-Cookie", L"step=1");
    access.replies.push_back(moved);
    access.replies.push_back(redirect(301, L"https://mirror.test:9443/final"));
    access.answer(200, "done");

    ASSERT_TRUE(client.request(L"POST", URL(L"http://api.test:81/start"), WebClient::Headers(),
                               WebClient::Content(L"application/json", Binary("{}")), true));
    ASSERT_EQ(access.calls.size(), 3u);
    EXPECT_EQ(u8(access.calls[1].request.url), "http://api.test:81/moved?id=2");
    EXPECT_EQ(u8(access.calls[1].request.method), "POST");
    EXPECT_EQ(access.calls[1].request.body.toStdString(), "{}");
    EXPECT_EQ(access.header(1, L"Cookie"), "step=1");  // set by the 302 itself
    EXPECT_FALSE(access.calls[1].secure);
    EXPECT_EQ(u8(access.calls[2].request.url), "https://mirror.test:9443/final");
    EXPECT_EQ(access.header(2, L"Host"), "mirror.test:9443");
    EXPECT_TRUE(access.calls[2].secure);
    EXPECT_EQ(access.header(2, L"Cookie"), "");
    EXPECT_EQ(client.lastResponse().body.toStdString(), "done");
    EXPECT_EQ(client.lastUrl(), URL(L"https://mirror.test:9443/final"));
}

TEST_F(WebClientTest, ReferencesResolveAgainstTheCurrentUrl) {
    access.replies.push_back(redirect(302, L"//cdn.test/a"));
    access.replies.push_back(redirect(303, L"b/c"));
    access.replies.push_back(redirect(307, L"?page=2"));
    access.answer(200);
    ASSERT_TRUE(get(L"https://api.test/dir/file"));
    ASSERT_EQ(access.calls.size(), 4u);
    EXPECT_EQ(u8(access.calls[1].request.url), "https://cdn.test/a");
    EXPECT_EQ(u8(access.calls[2].request.url), "https://cdn.test/b/c");
    EXPECT_EQ(u8(access.calls[3].request.url), "https://cdn.test/b/c?page=2");
}

TEST_F(WebClientTest, RedirectChainStopsAfterTwentyHops) {
    access.repeat = true;
    access.replies.push_back(redirect(302, L"/again"));
    EXPECT_TRUE(get(L"http://h/"));
    // The first request plus 20 followed redirects; the last 3xx is handed back.
    EXPECT_EQ(access.calls.size(), 21u);
    EXPECT_EQ(client.lastResponse().status, 302);

    // The depth starts from zero again for the next request.
    access.calls.clear();
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls.size(), 21u);
}

TEST_F(WebClientTest, UnfollowedOrUnusableRedirectsAreHandedBack) {
    access.replies.push_back(redirect(302, L"/next"));
    EXPECT_TRUE(get(L"http://h/", false));
    EXPECT_EQ(access.calls.size(), 1u);
    EXPECT_EQ(client.lastResponse().status, 302);

    access.answer(302);  // no Location
    EXPECT_TRUE(get(L"http://h/"));
    access.replies.push_back(redirect(302, L"http://evil\r\nX-Injected: 1/"));
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls.size(), 3u);
    EXPECT_EQ(client.lastResponse().status, 302);
}

TEST_F(WebClientTest, EachExchangeGetsTheSmallerOfBothLimits) {
    client.setRequestTimeout(20000);
    client.setTotalTimeout(45000);
    access.repeat = true;
    access.replies.push_back(redirect(302, L"/again"));
    access.onRequest = [](const FakeHttpAccess::Call&) { Clock::advance(17000); };
    EXPECT_FALSE(get(L"http://h/"));
    // 45000 overall: 20000, 20000, then 11000 left; after 51000 ms the deadline has passed.
    ASSERT_EQ(access.calls.size(), 3u);
    EXPECT_EQ(access.calls[0].timeoutMs, 20000);
    EXPECT_EQ(access.calls[1].timeoutMs, 20000);
    EXPECT_EQ(access.calls[2].timeoutMs, 11000);
    EXPECT_EQ(client.lastResponse().status, -1);

    // A fresh request starts a fresh overall deadline.
    access.calls.clear();
    access.onRequest = nullptr;
    access.repeat = false;
    access.replies.clear();
    access.answer(200);
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls[0].timeoutMs, 20000);
}

TEST_F(WebClientTest, LimitEdges) {
    access.repeat = true;
    access.answer(200);
    client.setTotalTimeout(0);  // no time at all
    EXPECT_FALSE(get(L"http://h/"));
    EXPECT_TRUE(access.calls.empty());

    client.setTotalTimeout(-1);  // no overall limit
    client.setRequestTimeout(5000);
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls.back().timeoutMs, 5000);
    client.setRequestTimeout(-1);
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls.back().timeoutMs, -1);
    client.setTotalTimeout(3000);
    EXPECT_TRUE(get(L"http://h/"));
    EXPECT_EQ(access.calls.back().timeoutMs, 3000);
}
