#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "core/src/crypto/Digest.h"
#include "core/src/exception/Exception.h"
#include "core/src/misc/GUID.h"
#include "core/src/value/AnyConvert.h"
#include "lab_api/ApiServer.h"
#include "lab_network/AdminServer.h"
#include "lab_network/LabNetwork.h"
#include "net/src/http/HttpHeaderLookup.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_launcher/encrypt/Encryptor.h"
#include "core/src/value/Strings.h"
#include "util/src/http/DirectHttpAccess.h"
#include "web/src/DirectHttpClient.h"
#include "util/src/rpc/JsonRpcClient.h"
#include "util/src/rpc/RpcException.h"
#include "util/src/web/WebClient.h"

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Array;
using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;
using kx::net::HttpHeaderLookup;

namespace {

const wchar_t* const TEA = L"tea(lab-test)";
using Clock = std::chrono::steady_clock;

int64_t nowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

// The client side of the body envelope: nonce and timestamp headers, the
// enciphered body, the answer's nonce checked and its body deciphered, one
// retry after a 316 that names the server's time.
class EnvelopeAccess : public kx::util::IHttpAccess {
public:
    explicit EnvelopeAccess(kx::util::IHttpAccess* inner) : m_inner(inner), m_codec(TEA) {}

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override {
        kx::net::HttpResponse local;
        kx::net::HttpResponse* out = response ? response : &local;
        if (!_exchange(request, out, secure, timeoutMs)) return false;
        const String* reset = HttpHeaderLookup::find(out->headers, L"X-Ca-Timestamp-Reset");
        if (out->status != 316 || !reset) return true;
        offset = reset->toInt64() - nowSeconds();
        ++retries;
        return _exchange(request, out, secure, timeoutMs);
    }

    int64_t offset = 0;
    int retries = 0;
    bool nonceMismatch = false;

private:
    bool _exchange(const kx::net::HttpRequest& request, kx::net::HttpResponse* out, bool secure,
                   int32_t timeoutMs) {
        String nonce =
            kx::core::Digest::md5Hex(kx::core::GUID::create().toString()).substring(8, 16);
        String stamp = String::fromInt64(nowSeconds() + offset);
        kx::net::HttpRequest copy = request;
        copy.body = m_codec.encode(request.body, nonce + stamp);
        copy.headers.set(L"Content-Length", String::fromInt32(copy.body.length()));
        copy.headers.set(L"Content-Encoding", L"encrypt");
        copy.headers.set(L"X-Ca-Nonce", nonce);
        copy.headers.set(L"X-Ca-Timestamp", stamp);
        if (!m_inner->request(copy, out, secure, timeoutMs)) return false;
        if (HttpHeaderLookup::value(out->headers, L"Content-Encoding").toLower() != L"encrypt")
            return true;
        if (HttpHeaderLookup::value(out->headers, L"X-Ca-Nonce") != nonce) {
            nonceMismatch = true;
            return false;
        }
        out->body = m_codec.decode(
            out->body, nonce + HttpHeaderLookup::value(out->headers, L"X-Ca-Timestamp"));
        return true;
    }

    kx::util::IHttpAccess* m_inner;
    tunnel::Encryptor m_codec;
};

// JSON-RPC through the envelope, as the SDK's API client calls.
struct RpcClient {
    // pin: the lab's HTTPS certificate is made at start, known to no CA.
    explicit RpcClient(const std::string& base, int32_t timeoutMs = 3000, const String& pin = String())
        : envelope(&direct), web(&envelope), base(base) {
        if (!pin.isEmpty()) direct.client().tlsSettings().setPins(kx::core::Strings{pin});
        web.setRequestTimeout(timeoutMs);
        web.setTotalTimeout(timeoutMs);
    }
    Dictionary<Any> call(const char* path, const wchar_t* method, const Dictionary<Any>& params) {
        kx::util::JsonRpcClient rpc(&web, kx::net::URL((base + path).c_str()));
        Any result = rpc.call(method, params);
        return result.is<Dictionary<Any>>() ? result.as<Dictionary<Any>>() : Dictionary<Any>();
    }
    kx::util::DirectHttpAccess direct;
    EnvelopeAccess envelope;
    kx::util::WebClient web;
    std::string base;
};

Dictionary<Any> params(std::initializer_list<std::pair<const wchar_t*, Any>> items) {
    Dictionary<Any> out;
    for (const auto& item : items) out.set(item.first, item.second);
    return out;
}

// A raw loopback connection for what no well-behaved client sends.
class RawClient {
public:
    explicit RawClient(uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient() {
        if (m_fd >= 0) close(m_fd);
    }
    bool send(const std::string& bytes) {
        return m_fd >= 0 && ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                static_cast<ssize_t>(bytes.size());
    }
    // Reads until marker is in *out (when given) or the peer closes, at
    // most limitMs; true when the peer closed.
    bool read(std::string* out, int limitMs, const std::string& marker = std::string()) {
        auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        while (m_fd >= 0 && Clock::now() < deadline) {
            if (!marker.empty() && out->find(marker) != std::string::npos) return false;
            pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return true;  // closed or reset
            out->append(buffer, static_cast<size_t>(n));
        }
        return false;
    }

private:
    int m_fd;
};

const char* const LAB = R"lab({
  "tick_ms": 10, "admin": "127.0.0.1:0",
  "switches": [
    {"name": "a", "listen": "127.0.0.1:0", "access_keys": ["k"], "latency": 30},
    {"name": "b", "listen": "127.0.0.1:0", "access_keys": ["k"], "latency": 45}
  ],
  "backends": [
    {"name": "echo", "kind": "tcp_echo", "listen": "127.0.0.1:0"},
    {"name": "udp", "kind": "udp_echo", "listen": "127.0.0.1:0"}
  ],
  "routes": [
    {"target_id": 7, "client_port": 17001, "backend": "echo"},
    {"target_id": 7, "client_port": 17002, "backend": "udp"},
    {"target_id": 9, "client_port": 17003, "backend": "echo"}
  ],
  "api": {"listen": "127.0.0.1:0", "https_listen": "127.0.0.1:0", "tea": "tea(lab-test)",
          "node_types": {"b": "bandwidth"}, "delay_ms": 300 API_EXTRA}
})lab";

// A whole lab (switches, back ends, API, admin port) on its own loop thread,
// as korvane-lab runs it; the test talks to it over loopback only.
class LabApiServer : public ::testing::Test {
protected:
    void startLab(const std::string& apiExtra = "") {
        std::string text = LAB;
        text.replace(text.find(" API_EXTRA"), 10, apiExtra);
        String error;
        ASSERT_TRUE(lab::LabConfig::fromJson(String::fromUtf8(text), &m_config, &error))
            << error.toStdString();
        m_selector.reset(new kx::net::SocketEventSelector(10));
        m_network.reset(new lab::LabNetwork(m_selector.get()));
        ASSERT_TRUE(m_network->start(m_config, &error)) << error.toStdString();
        ASSERT_NE(nullptr, m_network->api());
        m_http = m_network->api()->httpAddress().port;
        m_https = m_network->api()->httpsAddress().port;
        m_pin = m_network->api()->pin();
        m_loop = std::thread([this]() {
            while (!m_stop.load()) {
                m_selector->select(10);
                m_network->tick();
            }
            // The loop owns them now: they go on its thread.
            m_network.reset();
            m_selector.reset();
        });
    }

    void TearDown() override {
        m_stop.store(true);
        if (m_loop.joinable()) m_loop.join();
        m_network.reset();
        m_selector.reset();
    }

    std::string base(bool secure) const {
        return std::string(secure ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(secure ? m_https : m_http);
    }

    String pinFor(bool secure) const { return secure ? m_pin : String(); }

    // One admin line through the admin port, the way an operator sends it.
    std::string admin(const std::string& line) {
        RawClient client(m_network->admin()->address().port);
        if (!client.send(line + "\n")) return "send failed";
        std::string answer;
        client.read(&answer, 2000, "\n");
        return answer.substr(0, answer.find('\n'));
    }

    lab::LabConfig m_config;
    std::unique_ptr<kx::net::SocketEventSelector> m_selector;
    std::unique_ptr<lab::LabNetwork> m_network;
    std::thread m_loop;
    std::atomic<bool> m_stop{false};
    uint16_t m_http = 0;
    uint16_t m_https = 0;
    String m_pin;
};

const wchar_t* const ACCESS_ID = L"0123456789abcdef0123456789abcdef";

}  // namespace

TEST_F(LabApiServer, AccountAndTargetsOverHttpAndHttps) {
    startLab();
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "https" : "http");
        RpcClient client(base(secure), 3000, pinFor(secure));
        client.call("/util", L"ping", Dictionary<Any>());
        Dictionary<Any> created = client.call(
            "/account", L"create",
            params(
                {{L"access_id", ACCESS_ID}, {L"version", L"1.0"}, {L"marks", Dictionary<Any>()}}));
        String token = AnyConvert::toText(created.get(L"token"));
        ASSERT_FALSE(token.isEmpty());
        client.call("/account", L"update",
                    params({{L"access_id", ACCESS_ID}, {L"token", token}, {L"version", L"1.1"}}));
        Dictionary<Any> listed = client.call("/instance", L"enum_targets",
                                             params({{L"token", token},
                                                     {L"target_names", Array<Any>()},
                                                     {L"target_groups", Array<Any>()}}));
        ASSERT_TRUE(listed.get(L"targets").is<Array<Any>>());
        const Array<Any>& targets = listed.get(L"targets").as<Array<Any>>();
        ASSERT_EQ(2, targets.size());

        // Records in the launcher's shape, from the lab's own servers.
        const Dictionary<Any>& first = targets[0].as<Dictionary<Any>>();
        EXPECT_EQ(7, AnyConvert::toInt64(first.get(L"id")));
        EXPECT_EQ(String(L"127.0.0.1"), AnyConvert::toText(first.get(L"client_ip")));
        const Array<Any>& nodes = first.get(L"nodes").as<Array<Any>>();
        ASSERT_EQ(2, nodes.size());
        const Dictionary<Any>& b = nodes[1].as<Dictionary<Any>>();
        EXPECT_EQ(m_network->findSwitch(L"b")->address().port, AnyConvert::toInt32(b.get(L"port")));
        EXPECT_EQ(String(L"bandwidth"), AnyConvert::toText(b.get(L"type")));
        EXPECT_EQ(45, AnyConvert::toInt32(b.get(L"latency")));
        const Array<Any>& forwards = first.get(L"forwards").as<Array<Any>>();
        ASSERT_EQ(2, forwards.size());
        const Dictionary<Any>& udp = forwards[1].as<Dictionary<Any>>();
        kx::net::SocketAddress udpBackend;
        ASSERT_TRUE(m_network->backendAddress(L"udp", &udpBackend));
        EXPECT_EQ(String(L"udp"), AnyConvert::toText(udp.get(L"protocol")));
        EXPECT_EQ(17002, AnyConvert::toInt32(udp.get(L"client_port")));
        EXPECT_EQ(udpBackend.port, AnyConvert::toInt32(udp.get(L"standby_port")));
        EXPECT_EQ(0, AnyConvert::toInt32(udp.get(L"range")));
        EXPECT_EQ(1, first.get(L"standbys").as<Array<Any>>().size());

        // Revoked at run time: both calls that carry the token get 101.
        EXPECT_EQ("ok api revoke " + token.toStdString(),
                  admin("api revoke " + token.toStdString()));
        for (const char* path : {"/account", "/instance"}) {
            try {
                client.call(
                    path, std::string(path) == "/account" ? L"update" : L"enum_targets",
                    params({{L"access_id", ACCESS_ID}, {L"token", token}, {L"version", L"1"}}));
                ADD_FAILURE() << "no 101 on " << path;
            } catch (const kx::util::RpcException& e) {
                EXPECT_EQ(101, e.code()) << path;
            }
        }
    }
    std::string status = admin("api status");
    EXPECT_EQ(0u, status.find("ok api fault=none")) << status;
    EXPECT_NE(std::string::npos, status.find("create=2 update=4 enum_targets=4")) << status;
}

TEST_F(LabApiServer, FaultsSwitchedAtRunTime) {
    startLab();
    struct Case {
        const char* command;
        const char* expect;  // start of the failure text; "" when the call succeeds
    } cases[] = {
        {"api fault http_500 1", "HTTP: 500-Internal Server Error"},
        {"api fault http_502 /util 1", "HTTP: 502-Bad Gateway"},
        {"api fault garbage 1", "响应内容不是有效JSON格式: '<html>"},
        {"api fault undecipherable 1", "响应内容不是有效JSON格式: '"},
        {"api fault bad_nonce 1", "HTTP: "},
        {"api fault cut 1", "HTTP: "},
        {"api fault delay 1", ""},
        {"api fault timestamp 1", ""},  // one 316, then the corrected retry passes
        // No third attempt: the second 316 reaches the JSON-RPC layer as it is.
        {"api fault timestamp 2", "响应内容不是有效JSON格式: 'timestamp out of range"},
        {"api skew 7200", ""},
    };
    for (bool secure : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.command) + (secure ? " https" : " http"));
            ASSERT_EQ(0u, admin(c.command).find("ok api")) << c.command;
            RpcClient client(base(secure), 3000, pinFor(secure));
            auto started = Clock::now();
            std::string failure;
            try {
                client.call("/util", L"ping", Dictionary<Any>());
            } catch (const kx::core::Exception& e) {
                failure = String(e.message()).toStdString();
            }
            int elapsed = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                    .count());
            if (*c.expect == 0) {
                EXPECT_EQ("", failure);
            } else {
                EXPECT_EQ(0u, failure.find(c.expect)) << failure;
            }
            std::string command = c.command;
            if (command.find("delay") != std::string::npos) {
                EXPECT_GE(elapsed, 290);
            }
            if (command.find("bad_nonce") != std::string::npos) {
                EXPECT_TRUE(client.envelope.nonceMismatch);
            }
            if (command.find("skew") != std::string::npos) {
                EXPECT_EQ(1, client.envelope.retries);
                EXPECT_NEAR(7200, client.envelope.offset, 2);
                admin("api skew 0");
            }
            // Count-limited faults are over: the next call passes.
            client.call("/util", L"ping", Dictionary<Any>());
        }
    }
    // Held forever: the client's own time limit ends the call.
    ASSERT_EQ("ok api fault silent /util", admin("api fault silent /util"));
    RpcClient client(base(false), 300);
    EXPECT_THROW(client.call("/util", L"ping", Dictionary<Any>()), kx::core::Exception);
}

TEST_F(LabApiServer, HostileRequestsAreAnsweredAndBounded) {
    startLab(", \"client_timeout_ms\": 300, \"head_limit\": 1024, \"body_limit\": 4096");
    std::string stamp = std::to_string(nowSeconds());
    std::string envelope = "Content-Encoding: encrypt\r\nX-Ca-Nonce: 0123456789abcdef\r\n";
    struct Case {
        std::string bytes;
        const char* status;
    } cases[] = {
        {"GET /util HTTP/1.1\r\n\r\n", "HTTP/1.1 405"},
        {"POST /nowhere HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 404"},
        {"POST /util HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "HTTP/1.1 400"},
        {"POST /util HTTP/1.1\r\n" + envelope + "X-Ca-Timestamp: " + stamp +
             "\r\nContent-Length: 5\r\n\r\nhello",
         "HTTP/1.1 400"},
        {"POST /util HTTP/1.1\r\n" + envelope + "X-Ca-Timestamp: 1000\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 316"},
        {"POST /util HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 501"},
        {"POST /util HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", "HTTP/1.1 413"},
        {"POST /util HTTP/3\r\n\r\n", "HTTP/1.1 505"},
        {std::string("\x16\x03\x01\x00\x05hello\r\n\r\n", 14), "HTTP/1.1 400"},
        {"POST /util HTTP/1.1\r\nX: " + std::string(1100, 'x'), "HTTP/1.1 431"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        RawClient client(m_http);
        ASSERT_TRUE(client.send(c.bytes));
        std::string answer;
        auto started = Clock::now();
        client.read(&answer, 1500, "\r\n\r\n");
        EXPECT_EQ(0u, answer.find(c.status)) << answer;
        EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1500));
    }

    // Slow loris: a byte every 50 ms never completes a head within the
    // client timeout (300 ms); the server answers 408 and closes.
    {
        RawClient slow(m_http);
        std::string head = "POST /util HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: aaaaaaaaaaaaaaaa";
        auto started = Clock::now();
        std::string answer;
        bool closed = false;
        for (char ch : head) {
            if (!slow.send(std::string(1, ch))) break;
            if ((closed = slow.read(&answer, 50))) break;
        }
        if (!closed) closed = slow.read(&answer, 1000);
        EXPECT_TRUE(closed);
        EXPECT_EQ(0u, answer.find("HTTP/1.1 408")) << answer;
        EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1200));
    }
    // A connection that never sends a byte holds its slot for the client
    // timeout only.
    {
        RawClient idle(m_http);
        std::string answer;
        EXPECT_TRUE(idle.read(&answer, 1500));
        EXPECT_EQ(0u, answer.find("HTTP/1.1 408")) << answer;
    }
    // Plain text and a stalled handshake on the TLS port: closed, no answer.
    {
        RawClient plain(m_https);
        ASSERT_TRUE(plain.send("POST /util HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
        std::string answer;
        EXPECT_TRUE(plain.read(&answer, 1500));
        RawClient stalled(m_https);
        ASSERT_TRUE(stalled.send(std::string("\x16\x03\x01\x00", 4)));
        EXPECT_TRUE(stalled.read(&answer, 1500));
    }
    // After all that the server still answers, over both ports. The server's
    // client limit here is only 300 ms, which a TLS handshake in a sanitizer
    // build on a busy machine can overrun: a few tries are allowed.
    for (bool secure : {false, true}) {
        bool answered = false;
        for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
            try {
                RpcClient client(base(secure), 3000, pinFor(secure));
                client.call("/util", L"ping", Dictionary<Any>());
                answered = true;
            } catch (...) {
                // the RPC layer throws its own exception types
            }
        }
        EXPECT_TRUE(answered) << (secure ? "https" : "http");
    }
}

TEST_F(LabApiServer, ConnectionsBeyondTheLimitAreRefused) {
    startLab(", \"max_connections\": 2");
    RawClient first(m_http), second(m_http);
    ASSERT_TRUE(first.send("POST /nowhere HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(second.send("POST /nowhere HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
    std::string answer;
    first.read(&answer, 300);  // both are open and answered
    RawClient third(m_http);
    std::string refused;
    EXPECT_TRUE(third.read(&refused, 1500));
    EXPECT_EQ(0u, refused.find("HTTP/1.1 503")) << refused;
}
