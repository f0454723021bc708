#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "async/src/SocketReactor.h"
#include "async/src/StaticNameLookup.h"
#include "async/test/support/PeerProcess.h"
#include "async/test/support/Pump.h"
#include "core/src/misc/FileUtil.h"
#include "core/src/time/Clock.h"
#include "net/src/socket/Socket.h"
#include "web/src/DirectHttpClient.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::IpAddress;
using kx::testing::PeerProcess;
using kx::testing::pumpUntil;
using kx::web::DirectHttpClient;
using kx::web::Http;

namespace {

const int32_t MAX_BODY = 1024 * 1024;

class DirectHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { makeClient(30000); }

    void makeClient(int32_t idleKeepMs) {
        drain();
        m_client.reset();
        m_lookup.reset();
        kx::async::StaticNameLookup::HostMap hosts;
        hosts[L"peer.test"] = {IpAddress("127.0.0.1")};
        hosts[L"localhost"] = {IpAddress("127.0.0.1")};
        // The first two addresses refuse: nothing listens on them.
        hosts[L"three.test"] = {IpAddress("127.0.0.2"), IpAddress("127.0.0.3"),
                                IpAddress("127.0.0.1")};
        hosts[L"refusing.test"] = {IpAddress("127.0.0.2"), IpAddress("127.0.0.3")};
        m_lookup.reset(new kx::async::StaticNameLookup(&m_reactor, hosts));
        m_client.reset(new DirectHttpClient(&m_reactor, m_lookup.get(), idleKeepMs, MAX_BODY));
    }

    void drain() {
        if (m_client) pumpUntil(m_reactor, [&]() { return m_client->idle() && m_reactor.idle(); });
    }

    void TearDown() override {
        drain();
        m_client.reset();
        m_lookup.reset();
        m_peer.stop();
    }

    bool startPeer(bool tls = false) {
        std::vector<std::string> argv = {"python3",
                                         PeerProcess::dirOf(__FILE__) + "/peers/http_peer.py"};
        if (tls) {
            if (!m_cert->ok()) return false;
            argv.insert(argv.end(), {"--tls", m_cert->certPath(), m_cert->keyPath()});
        }
        return m_peer.start(argv);
    }

    String authority(const char* host = "peer.test") {
        return String::fromUtf8(std::string(host) + ":" + std::to_string(m_peer.port()));
    }

    Http::Response run(const char* target, const char* method = "GET", Binary body = Binary(),
                       int32_t timeoutMs = 5000, bool secure = false,
                       const char* host = "peer.test") {
        Http::Request req;
        req.method = String::fromUtf8(method);
        req.target = String::fromUtf8(target);
        req.body = body;
        Http::Response out;
        int calls = 0;
        m_client->request(
            authority(host), secure, req,
            [&](Http::Response& r) {
                out = r;
                ++calls;
            },
            timeoutMs);
        EXPECT_EQ(0, calls);  // never synchronous
        EXPECT_TRUE(pumpUntil(
            m_reactor, [&]() { return calls > 0; }, 15000))
            << target;
        reactor().runOnce(0);
        EXPECT_EQ(1, calls) << target;
        return out;
    }

    kx::async::SocketReactor& reactor() { return m_reactor; }

    kx::testing::TestCertificate* m_cert = &kx::testing::TestCertificate::shared();
    kx::async::SocketReactor m_reactor{10};
    std::unique_ptr<kx::async::StaticNameLookup> m_lookup;
    std::unique_ptr<DirectHttpClient> m_client;
    PeerProcess m_peer;
};

}  // namespace

TEST_F(DirectHttpClientTest, TwoRequestsShareOneKeptConnection) {
    ASSERT_TRUE(startPeer());
    Http::Response first = run("/hello");
    ASSERT_EQ(200, first.status);
    EXPECT_EQ("hello", first.body.toStdString());
    EXPECT_FALSE(m_client->reused());
    Http::Response second = run("/hello");
    ASSERT_EQ(200, second.status);
    EXPECT_TRUE(m_client->reused());
    EXPECT_EQ(1, m_client->connectCount());
    EXPECT_EQ(Http::header(first.headers, L"x-conn"), Http::header(second.headers, L"X-Conn"));
    EXPECT_TRUE(m_client->idle());

    // Past the idle keep time the kept connection is replaced.
    kx::core::Clock::advance(30001);
    Http::Response third = run("/hello");
    kx::core::Clock::resetForTests();
    ASSERT_EQ(200, third.status);
    EXPECT_FALSE(m_client->reused());
    EXPECT_EQ(2, m_client->connectCount());
    // Another authority (same server, other name) does not reuse it either.
    ASSERT_EQ(200, run("/hello", "GET", Binary(), 5000, false, "localhost").status);
    EXPECT_FALSE(m_client->reused());
    EXPECT_EQ(3, m_client->connectCount());
}

TEST_F(DirectHttpClientTest, StaleKeptConnectionIsRetriedOnceOnAFreshOne) {
    ASSERT_TRUE(startPeer());
    Http::Response first = run("/drop");  // server closes after answering
    ASSERT_EQ(200, first.status);
    pumpUntil(
        m_reactor, [] { return false; }, 200);  // let the close arrive
    Http::Response second = run("/hello");
    ASSERT_EQ(200, second.status);
    EXPECT_EQ("hello", second.body.toStdString());
    EXPECT_TRUE(m_client->retried());
    EXPECT_EQ(2, m_client->connectCount());
}

TEST_F(DirectHttpClientTest, NoIdleKeepTimeMeansAFreshConnectionEachTime) {
    makeClient(0);
    ASSERT_TRUE(startPeer());
    ASSERT_EQ(200, run("/hello").status);
    ASSERT_EQ(200, run("/hello").status);
    EXPECT_FALSE(m_client->reused());
    EXPECT_EQ(2, m_client->connectCount());
}

TEST_F(DirectHttpClientTest, ThreeAddressesWhereTheFirstTwoRefuse) {
    ASSERT_TRUE(startPeer());
    Http::Response r = run("/hello", "GET", Binary(), 5000, false, "three.test");
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(3, m_client->connectCount());

    Http::Response none = run("/hello", "GET", Binary(), 5000, false, "refusing.test");
    EXPECT_EQ(-1, none.status);
    Http::Response unknown = run("/hello", "GET", Binary(), 5000, false, "unknown.test");
    EXPECT_EQ(-1, unknown.status);
}

TEST_F(DirectHttpClientTest, ResponseFramingVariants) {
    ASSERT_TRUE(startPeer());
    Http::Response head = run("/head", "HEAD");
    EXPECT_EQ(200, head.status);
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(String(L"10"), Http::header(head.headers, L"content-length"));

    EXPECT_EQ(204, run("/204").status);
    EXPECT_EQ(304, run("/304").status);
    EXPECT_TRUE(m_client->reused());  // bodiless answers keep the connection

    Http::Response chunked = run("/chunked");
    ASSERT_EQ(200, chunked.status);
    EXPECT_EQ("chunk-one|chunk-two|" + std::string(30000, 'x'), chunked.body.toStdString());

    Http::Response old = run("/raw_http10");
    ASSERT_EQ(200, old.status);
    EXPECT_EQ(String(L"HTTP/1.0"), old.version);
    EXPECT_EQ("old style body", old.body.toStdString());
    Http::Response after = run("/hello");  // the 1.0 answer closed the connection
    EXPECT_FALSE(m_client->reused());
    EXPECT_EQ(200, after.status);

    Http::Response untilClose = run("/raw_untilclose");
    ASSERT_EQ(200, untilClose.status);
    EXPECT_EQ(50000, untilClose.body.length());

    Http::Response interim = run("/raw_continue");
    EXPECT_EQ(200, interim.status);
    EXPECT_EQ("ok", interim.body.toStdString());

    Http::Response cookies = run("/cookie");
    EXPECT_EQ(String(L"a=1\r\nb=2"), Http::header(cookies.headers, L"set-cookie"));
    EXPECT_EQ(302, run("/redirect").status);
    EXPECT_EQ(500, run("/error").status);
}

TEST_F(DirectHttpClientTest, RequestBodyArrivesWithItsLength) {
    ASSERT_TRUE(startPeer());
    Binary body;
    for (int i = 0; i < 100000; ++i) body.append(static_cast<uint8_t>(i % 251));
    Http::Response r = run("/echo", "POST", body);
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(String(L"100000"), Http::header(r.headers, L"x-got-length"));
    EXPECT_TRUE(body == r.body);
    Http::Request tooBig;
    tooBig.method = L"POST";
    tooBig.body.resize(MAX_BODY + 1);
    Http::Response out;
    bool done = false;
    m_client->request(
        authority(), false, tooBig,
        [&](Http::Response& x) {
            out = x;
            done = true;
        },
        5000);
    ASSERT_TRUE(pumpUntil(m_reactor, [&]() { return done; }));
    EXPECT_EQ(-1, out.status);
}

// Broken or hostile answers: each ends in exactly one failed completion.
TEST_F(DirectHttpClientTest, MalformedResponsesFailCleanly) {
    ASSERT_TRUE(startPeer());
    for (const char* path : {"/raw_both", "/raw_badchunk", "/raw_hugechunk", "/raw_bighead",
                             "/raw_midclose", "/raw_midchunk", "/raw_negative", "/raw_garbage"}) {
        Http::Response r = run(path);
        EXPECT_EQ(-1, r.status) << path;
        EXPECT_TRUE(r.body.isEmpty()) << path;
    }
    Http::Response big = run("/big?n=2000000");
    EXPECT_EQ(-1, big.status);
    Http::Response bigChunked = run("/bigchunked?n=2000000");
    EXPECT_EQ(-1, bigChunked.status);
    Http::Response fits = run("/big?n=1000000");
    ASSERT_EQ(200, fits.status);
    EXPECT_EQ(1000000, fits.body.length());
    EXPECT_EQ(200, run("/hello").status);  // the client is still usable
}

TEST_F(DirectHttpClientTest, DeadlineAndCancelEndTheRequest) {
    ASSERT_TRUE(startPeer());
    Http::Response late = run("/slow?ms=1500", "GET", Binary(), 300);
    EXPECT_EQ(-1, late.status);

    Http::Request req;
    req.target = L"/slow?ms=1000";
    int calls = 0;
    int status = 0;
    m_client->request(
        authority(), false, req,
        [&](Http::Response& r) {
            ++calls;
            status = r.status;
        },
        -1);
    pumpUntil(
        m_reactor, [] { return false; }, 100);
    m_client->cancel();
    EXPECT_FALSE(m_client->busy());
    ASSERT_TRUE(pumpUntil(m_reactor, [&]() { return calls > 0 && m_client->idle(); }));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(-1, status);
    EXPECT_EQ(200, run("/hello").status);
}

TEST_F(DirectHttpClientTest, RefusedWhileBusyOrWithoutAuthority) {
    ASSERT_TRUE(startPeer());
    Http::Request req;
    req.target = L"/hello";
    int first = 0, second = 0, third = 0;
    m_client->request(
        authority(), false, req, [&](Http::Response& r) { first = r.status; }, 5000);
    m_client->request(
        authority(), false, req, [&](Http::Response& r) { second = r.status; }, 5000);
    ASSERT_TRUE(pumpUntil(m_reactor, [&]() { return first != 0 && second != 0; }));
    EXPECT_EQ(200, first);
    EXPECT_EQ(-1, second);
    m_client->request(
        L"", false, req, [&](Http::Response& r) { third = r.status; }, 5000);
    ASSERT_TRUE(pumpUntil(m_reactor, [&]() { return third != 0; }));
    EXPECT_EQ(-1, third);
}

TEST_F(DirectHttpClientTest, HttpsWithAVerifiedServerAndKeepAlive) {
    ASSERT_TRUE(startPeer(true));
    // Unknown to the system's trust store: refused, and the reason is kept.
    Http::Response refused = run("/hello", "GET", Binary(), 5000, true, "localhost");
    EXPECT_EQ(-1, refused.status);
    EXPECT_NE(std::string::npos,
              m_client->lastErrorText().toStdString().find("certificate verification failed"));

    Binary pem;
    ASSERT_TRUE(kx::core::FileUtil::readAll(String::fromUtf8(m_cert->certPath()), pem));
    ASSERT_TRUE(m_client->tlsSettings().loadCaChain(pem));
    Http::Response r = run("/hello", "GET", Binary(), 5000, true, "localhost");
    EXPECT_TRUE(m_client->lastErrorText().isEmpty());
    ASSERT_EQ(200, r.status);
    EXPECT_EQ("hello", r.body.toStdString());
    Http::Response again = run("/chunked", "GET", Binary(), 5000, true, "localhost");
    ASSERT_EQ(200, again.status);
    EXPECT_TRUE(m_client->reused());
    EXPECT_EQ(30020, again.body.length());
    // Plain HTTP to the TLS port gets no HTTP answer.
    Http::Response plain = run("/hello", "GET", Binary(), 3000, false, "localhost");
    EXPECT_EQ(-1, plain.status);
}

TEST_F(DirectHttpClientTest, TlsPeerSendingGarbageFailsTheRequest) {
    ASSERT_TRUE(m_cert->ok());
    ASSERT_TRUE(
        m_peer.start({"python3", PeerProcess::dirOf(__FILE__) + "/../../tls/test/peers/tls_peer.py",
                      "garbage", m_cert->certPath(), m_cert->keyPath()}));
    Http::Response r = run("/hello", "GET", Binary(), 5000, true, "localhost");
    EXPECT_EQ(-1, r.status);
}
