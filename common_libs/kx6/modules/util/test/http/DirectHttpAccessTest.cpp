#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "async/src/SocketReactor.h"
#include "async/src/StaticNameLookup.h"
#include "async/test/support/PeerProcess.h"
#include "core/src/time/Timer.h"
#include "net/src/socket/IpAddress.h"
#include "util/src/http/DirectHttpAccess.h"
#include "web/src/DirectHttpClient.h"

using kx::core::String;
using kx::testing::PeerProcess;
using kx::util::DirectHttpAccess;

namespace {

std::string peerScript() {
    return PeerProcess::dirOf(__FILE__) + "/../../../web/test/peers/http_peer.py";
}

kx::net::HttpRequest makeRequest(int port, const char* path, const char* method = "GET") {
    kx::net::HttpRequest req;
    req.method = String::fromUtf8(method);
    req.url = String::fromUtf8("http://127.0.0.1:" + std::to_string(port) + path);
    return req;
}

}  // namespace

TEST(DirectHttpAccess, BlockingRequestsOverTheSystemResolverAndKeptConnection) {
    PeerProcess peer;
    ASSERT_TRUE(peer.start({"python3", peerScript()}));
    DirectHttpAccess access;
    kx::net::HttpResponse response;
    ASSERT_TRUE(access.request(makeRequest(peer.port(), "/hello?x=1"), &response, false, 5000));
    EXPECT_EQ(200, response.status);
    EXPECT_EQ("hello", response.body.toStdString());

    // Any status is a response; a null out-parameter is accepted.
    ASSERT_TRUE(access.request(makeRequest(peer.port(), "/error"), &response, false, 5000));
    EXPECT_EQ(500, response.status);
    EXPECT_TRUE(access.request(makeRequest(peer.port(), "/hello"), nullptr, false, 5000));
    EXPECT_TRUE(access.client().reused());

    kx::net::HttpRequest post = makeRequest(peer.port(), "/echo", "POST");
    post.body = kx::core::Binary("{\"id\":1}");
    ASSERT_TRUE(access.request(post, &response, false, 5000));
    EXPECT_EQ("{\"id\":1}", response.body.toStdString());
}

TEST(DirectHttpAccess, NoResponseIsFalseWithStatusMinusOne) {
    PeerProcess peer;
    ASSERT_TRUE(peer.start({"python3", peerScript()}));
    DirectHttpAccess access;
    kx::net::HttpResponse response;
    response.status = 200;
    EXPECT_FALSE(access.request(makeRequest(peer.port(), "/raw_garbage"), &response, false, 5000));
    EXPECT_EQ(-1, response.status);
    EXPECT_FALSE(access.request(makeRequest(peer.port(), "/slow?ms=1500"), &response, false, 200));
    EXPECT_EQ(-1, response.status);
    peer.stop();
    EXPECT_FALSE(access.request(makeRequest(peer.port(), "/hello"), &response, false, 2000));
    EXPECT_EQ(-1, response.status);
}

// Borrowing the owner's client, as the SDK does: the request goes to the
// "Host" header's authority, and it ends early when stop turns true or its
// time limit passes, saying which.
TEST(DirectHttpAccess, OverABorrowedClientStopAndTimeLimitEndTheRequest) {
    PeerProcess peer;
    ASSERT_TRUE(peer.start({"python3", peerScript()}));
    kx::async::SocketReactor reactor(DirectHttpAccess::PUMP_SLICE_MS);
    kx::async::StaticNameLookup::HostMap hosts;
    hosts.set(L"peer.test", kx::core::Array<kx::net::IpAddress>{kx::net::IpAddress("127.0.0.1")});
    kx::async::StaticNameLookup lookup(&reactor, hosts);
    kx::web::DirectHttpClient client(&reactor, &lookup, 0, -1);
    const String authority = String::fromUtf8("peer.test:" + std::to_string(peer.port()));

    struct Case {
        const char* name;
        const char* path;
        int32_t timeoutMs;
        int stopAfterMs;  // -1: never
        bool ok;
        int32_t status;
        bool timedOut;
        bool cancelled;
        int maxMs;
    } cases[] = {
        {"answered", "/hello", 5000, -1, true, 200, false, false, 1500},
        {"error status is an answer", "/error", 5000, -1, true, 500, false, false, 1500},
        {"stopped before it began", "/hello", 5000, 0, false, -1, false, true, 300},
        {"stopped under way", "/slow?ms=1500", 5000, 100, false, -1, false, true, 1000},
        {"time limit", "/slow?ms=1500", 200, -1, false, -1, true, false, 1000},
    };
    for (const Case& c : cases) {
        DirectHttpAccess access(&reactor, &client);
        const auto started = std::chrono::steady_clock::now();
        access.stop = [&]() {
            return c.stopAfterMs >= 0 && std::chrono::steady_clock::now() - started >=
                                             std::chrono::milliseconds(c.stopAfterMs);
        };
        // The URL names a host nobody resolves: only the header's is used.
        kx::net::HttpRequest request;
        request.method = L"GET";
        request.url = String::fromUtf8(std::string("http://nowhere.invalid") + c.path);
        request.headers.set(L"host", authority);
        kx::net::HttpResponse response;
        EXPECT_EQ(c.ok, access.request(request, &response, false, c.timeoutMs)) << c.name;
        EXPECT_EQ(c.status, response.status) << c.name;
        EXPECT_EQ(c.status, access.status()) << c.name;
        EXPECT_EQ(c.timedOut, access.timedOut()) << c.name;
        EXPECT_EQ(c.cancelled, access.cancelled()) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(c.maxMs))
            << c.name;
        // The next case starts on a client that has settled.
        kx::core::Timer settle(2000);
        while (!client.idle() && !settle.isExpired())
            reactor.runOnce(DirectHttpAccess::PUMP_SLICE_MS);
        EXPECT_TRUE(client.idle()) << c.name;
    }
}
