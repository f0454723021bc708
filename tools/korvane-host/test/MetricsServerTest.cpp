#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "MetricsServer.h"
#include "Readiness.h"

using korvane_host::MetricsServer;
using korvane_host::Readiness;

namespace {

// One request over loopback; the whole response, or "" when it did not come
// within two seconds.
std::string fetch(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 2000) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return out;
}

}  // namespace

TEST(MetricsServerTest, ParsesListenAddresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"9184", true, "127.0.0.1", 9184},      {"127.0.0.2:0", true, "127.0.0.2", 0},
        {"[::1]:9184", true, "::1", 9184},      {"::1:9184", false, "", 0},
        {"127.0.0.1:", false, "", 0},           {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:91a", false, "", 0},        {":9184", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host;
        int port = -1;
        EXPECT_EQ(MetricsServer::parseAddress(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

TEST(MetricsServerTest, ServesTheRenderedBodyOverLoopback) {
    MetricsServer server;
    server.render = [](const std::string& body) { return "rendered " + body + "\n"; };
    server.setBody("one");
    ASSERT_TRUE(server.start("127.0.0.1:0")) << server.error();
    ASSERT_GT(server.port(), 0);

    std::string response = fetch(server.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    EXPECT_NE(response.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(response.find("Content-Length: 13\r\n"), std::string::npos);
    EXPECT_EQ(response.substr(response.size() - 13), "rendered one\n");

    server.setBody("two");
    response = fetch(server.port(), "GET /metrics?x=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(response.substr(response.size() - 13), "rendered two\n");

    EXPECT_EQ(fetch(server.port(), "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(fetch(server.port(), "POST /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405", 0), 0u);
    EXPECT_EQ(fetch(server.port(), "garbage\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    const std::string head = fetch(server.port(), "HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    // A head that never ends is cut off at the size limit and still answered.
    EXPECT_EQ(fetch(server.port(), "GET /metrics HTTP/1.1\r\nX: " +
                                       std::string(MetricsServer::MAX_REQUEST_BYTES, 'a'))
                  .rfind("HTTP/1.1 200", 0),
              0u);
    server.stop();
    EXPECT_EQ(fetch(server.port(), "GET /metrics HTTP/1.1\r\n\r\n"), "");
}

TEST(MetricsServerTest, RefusesAnAddressItCannotUse) {
    MetricsServer server;
    EXPECT_FALSE(server.start("localhost:9184"));
    EXPECT_NE(server.error().find("numeric"), std::string::npos);
    MetricsServer first;
    ASSERT_TRUE(first.start("127.0.0.1:0"));
    MetricsServer second;
    EXPECT_FALSE(second.start("127.0.0.1:" + std::to_string(first.port())));
}

TEST(ReadinessTest, SendsTheStateToTheNotifySocket) {
    for (const bool abstract : {false, true}) {
        const std::string path = abstract ? "@korvane-ready-" + std::to_string(::getpid())
                                          : "/tmp/korvane-ready-" + std::to_string(::getpid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, path.size());
        if (abstract) address.sun_path[0] = '\0';
        ::unlink(path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size())),
                  0);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        EXPECT_TRUE(Readiness::notify("READY=1"));
        char buffer[64] = {};
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(::recv(fd, buffer, sizeof buffer, 0))),
                  "READY=1");
        ::close(fd);
        if (!abstract) ::unlink(path.c_str());
    }
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(Readiness::notify("READY=1"));
    EXPECT_FALSE(Readiness::notifyTo("relative", "READY=1"));
}
