#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <set>
#include <vector>

#include "net/src/http/HttpHeaderLookup.h"
#include "tunnel_launcher/api/EncryptedHttpClient.h"
#include "tunnel_launcher/api/SharedHttpClient.h"
#include "tunnel_launcher/encrypt/Encryptor.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::HttpHeaderLookup;
using kx::net::HttpRequest;
using kx::net::HttpResponse;
using tunnel::EncryptedHttpClient;
using tunnel::Encryptor;

namespace {

const wchar_t* const SPEC = L"tea(api-pass)";

// The layer below: records what arrived and answers through a script.
class ScriptedAccess : public kx::util::IHttpAccess {
public:
    typedef std::function<bool(const HttpRequest&, HttpResponse&)> Script;

    bool request(const HttpRequest& request, HttpResponse* response, bool, int32_t timeoutMs) override {
        seen.push_back(request);
        limits.push_back(timeoutMs);
        HttpResponse answer;
        bool ok = script(request, answer);
        if (response) *response = answer;
        return ok;
    }

    // An enciphered answer to the request, as the API writes it.
    static void answer(const HttpRequest& request, HttpResponse& out, const Binary& body, int32_t status = 200) {
        const String nonce = HttpHeaderLookup::value(request.headers, L"X-Ca-Nonce");
        const String stamp = L"1700000000";
        out.status = status;
        out.reason = L"OK";
        out.headers.set(L"Content-Encoding", L"encrypt");
        out.headers.set(L"X-Ca-Nonce", nonce);
        out.headers.set(L"X-Ca-Timestamp", stamp);
        out.body = Encryptor(SPEC).encode(body, nonce + stamp);
    }

    static Binary plainBody(const HttpRequest& request) {
        return Encryptor(SPEC).decode(request.body, HttpHeaderLookup::value(request.headers, L"X-Ca-Nonce") +
                                                        HttpHeaderLookup::value(request.headers, L"X-Ca-Timestamp"));
    }

    Script script;
    std::vector<HttpRequest> seen;
    std::vector<int32_t> limits;
};

HttpRequest apiRequest(const char* body) {
    HttpRequest request;
    request.method = L"POST";
    request.url = L"http://api.test/util";
    request.headers.set(L"Host", L"api.test");
    request.headers.set(L"content-length", L"999");  // replaced whatever its case
    request.body = Binary(body);
    return request;
}

int64_t stampOf(const HttpRequest& request) {
    return HttpHeaderLookup::value(request.headers, L"X-Ca-Timestamp").toInt64();
}

}  // namespace

TEST(EncryptedHttpClientTest, EnvelopeOfRequestAndAnswer) {
    ScriptedAccess inner;
    inner.script = [](const HttpRequest& request, HttpResponse& out) {
        ScriptedAccess::answer(request, out, Binary("{\"result\":{}}"));
        return true;
    };
    EncryptedHttpClient client(&inner, SPEC);
    std::set<std::string> nonces;
    for (int i = 0; i < 3; ++i) {
        HttpResponse response;
        ASSERT_TRUE(client.request(apiRequest("{\"id\":1}"), &response, false, 5000));
        EXPECT_EQ("{\"result\":{}}", response.body.toStdString());
        EXPECT_EQ(String(L"13"), HttpHeaderLookup::value(response.headers, L"Content-Length"));
        const HttpRequest& sent = inner.seen.back();
        EXPECT_EQ(String(L"encrypt"), HttpHeaderLookup::value(sent.headers, L"Content-Encoding"));
        EXPECT_EQ(String::fromInt32(sent.body.length()), HttpHeaderLookup::value(sent.headers, L"Content-Length"));
        EXPECT_EQ(1u, std::count_if(sent.headers.begin(), sent.headers.end(),
                                    [](const std::pair<const String, String>& h) {
                                        return h.first.toLower() == L"content-length";
                                    }));
        EXPECT_EQ("{\"id\":1}", ScriptedAccess::plainBody(sent).toStdString());
        const String nonce = HttpHeaderLookup::value(sent.headers, L"X-Ca-Nonce");
        EXPECT_EQ(16, nonce.length());
        nonces.insert(nonce.toStdString());
        EXPECT_LE(std::abs(stampOf(sent) - int64_t(time(nullptr))), 2);
    }
    EXPECT_EQ(3u, nonces.size());  // same second, still fresh keys
    EXPECT_TRUE(client.request(apiRequest("x"), nullptr, false, 5000));  // null out accepted
}

TEST(EncryptedHttpClientTest, AnswersThatAreNotOurs) {
    struct Case {
        const char* name;
        ScriptedAccess::Script script;
        bool ok;
        int32_t status;
        const char* body;
    } cases[] = {
        {"clear answer passes untouched",
         [](const HttpRequest&, HttpResponse& out) {
             out.status = 200;
             out.body = Binary("plain");
             return true;
         },
         true, 200, "plain"},
        {"foreign nonce refused",
         [](const HttpRequest& request, HttpResponse& out) {
             ScriptedAccess::answer(request, out, Binary("{}"));
             out.headers.set(L"X-Ca-Nonce", L"0123456789abcdef");
             return true;
         },
         false, -1, nullptr},
        {"missing nonce refused",
         [](const HttpRequest& request, HttpResponse& out) {
             ScriptedAccess::answer(request, out, Binary("{}"));
             out.headers.remove(L"X-Ca-Nonce");
             return true;
         },
         false, -1, nullptr},
        {"undecipherable body becomes empty",
         [](const HttpRequest& request, HttpResponse& out) {
             ScriptedAccess::answer(request, out, Binary("{}"));
             out.body = Binary("short");
             return true;
         },
         true, 200, ""},
        {"error status handed up",
         [](const HttpRequest& request, HttpResponse& out) {
             ScriptedAccess::answer(request, out, Binary("oops"), 500);
             return true;
         },
         true, 500, "oops"},
        {"316 without a reset is an ordinary answer",
         [](const HttpRequest&, HttpResponse& out) {
             out.status = 316;
             return true;
         },
         true, 316, ""},
        {"316 with a nonsense reset is not retried",
         [](const HttpRequest&, HttpResponse& out) {
             out.status = 316;
             out.headers.set(L"X-Ca-Timestamp-Reset", L"12abc");
             return true;
         },
         true, 316, ""},
        {"no answer at all",
         [](const HttpRequest&, HttpResponse& out) {
             out.reason = L"无法连接";
             return false;
         },
         false, -1, nullptr},
    };
    for (Case& c : cases) {
        ScriptedAccess inner;
        inner.script = c.script;
        EncryptedHttpClient client(&inner, SPEC);
        HttpResponse response;
        EXPECT_EQ(c.ok, client.request(apiRequest("{}"), &response, false, 5000)) << c.name;
        EXPECT_EQ(c.status, response.status) << c.name;
        if (c.body) {
            EXPECT_EQ(c.body, response.body.toStdString()) << c.name;
        }
        if (!c.ok) {
            EXPECT_FALSE(response.reason.isEmpty()) << c.name;
        }
        EXPECT_EQ(1u, inner.seen.size()) << c.name;
        EXPECT_EQ(0, client.clockOffset()) << c.name;
    }
}

TEST(EncryptedHttpClientTest, ClockIsCorrectedOnceNeverTwice) {
    ScriptedAccess inner;
    int64_t serverAhead = 120;
    bool alwaysReject = false;
    inner.script = [&](const HttpRequest& request, HttpResponse& out) {
        int64_t server = int64_t(time(nullptr)) + serverAhead;
        if (alwaysReject || std::abs(stampOf(request) - server) > 2) {
            out.status = 316;
            out.headers.set(L"X-Ca-Timestamp-Reset", String::fromInt64(server));
            return true;
        }
        ScriptedAccess::answer(request, out, Binary("fine"));
        return true;
    };
    EncryptedHttpClient client(&inner, SPEC);
    HttpResponse response;
    ASSERT_TRUE(client.request(apiRequest("{}"), &response, false, 5000));
    EXPECT_EQ(200, response.status);
    ASSERT_EQ(2u, inner.seen.size());
    EXPECT_NEAR(120, client.clockOffset(), 2);
    EXPECT_NEAR(120, stampOf(inner.seen[1]) - stampOf(inner.seen[0]), 2);
    EXPECT_NE(HttpHeaderLookup::value(inner.seen[0].headers, L"X-Ca-Nonce"),
              HttpHeaderLookup::value(inner.seen[1].headers, L"X-Ca-Nonce"));

    // Later requests keep the corrected clock: one exchange only.
    ASSERT_TRUE(client.request(apiRequest("{}"), &response, false, 5000));
    EXPECT_EQ(3u, inner.seen.size());

    // A server that keeps rejecting gets exactly one retry, and the 316 goes up.
    alwaysReject = true;
    serverAhead = 500;
    EXPECT_TRUE(client.request(apiRequest("{}"), &response, false, 5000));
    EXPECT_EQ(316, response.status);
    EXPECT_EQ(5u, inner.seen.size());
    EXPECT_NEAR(500, client.clockOffset(), 2);
}

TEST(EncryptedHttpClientTest, WithoutTeaItemsTheRequestPassesUnchanged) {
    ScriptedAccess inner;
    inner.script = [](const HttpRequest&, HttpResponse& out) {
        out.status = 200;
        return true;
    };
    EncryptedHttpClient client(&inner, L"none(x)");
    ASSERT_TRUE(client.request(apiRequest("{\"a\":1}"), nullptr, true, 5000));
    const HttpRequest& sent = inner.seen.back();
    EXPECT_EQ("{\"a\":1}", sent.body.toStdString());
    for (const wchar_t* name : {L"Content-Encoding", L"X-Ca-Nonce", L"X-Ca-Timestamp"})
        EXPECT_FALSE(HttpHeaderLookup::contains(sent.headers, name));

    tunnel::SharedHttpClient empty(nullptr);
    HttpResponse response;
    EXPECT_FALSE(empty.request(apiRequest("{}"), &response, false, 100));
    EXPECT_EQ(-1, response.status);
}
