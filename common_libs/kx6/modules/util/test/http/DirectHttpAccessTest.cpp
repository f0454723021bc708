#include <gtest/gtest.h>

#include <string>

#include "async/test/support/PeerProcess.h"
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
