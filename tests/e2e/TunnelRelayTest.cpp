#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/TunnelRelayFixture.h"

using kx::core::String;
using lab::EchoClient;

namespace {

typedef e2e::TunnelRelayFixture TunnelRelayTest;

}  // namespace

TEST_F(TunnelRelayTest, TcpEchoOfSeveralMegabytesIsByteExactWithPayloadEncryption) {
    start(L"forward-key");
    EchoClient::Result result;
    ASSERT_TRUE(
        runBeside([&] { result = EchoClient::tcpEcho(tcpPort, 4000000, 20000, 7); }, 25000));
    EXPECT_TRUE(result.ok) << result.error << "\n" << logger.all();
    EXPECT_EQ(4000000, result.received);
    EXPECT_EQ(result.sentMd5, result.receivedMd5);
    ASSERT_NE(nullptr, link());
    EXPECT_TRUE(link()->cipher().isOn());
}

// One way only: the switch may send no more than the client granted, and the
// client grants only what it delivered, so the stream moves at the reader's pace.
TEST_F(TunnelRelayTest, ASourceStreamArrivesInOrderUnderTheClientsWindow) {
    start(L"forward-key");
    EchoClient::Result result;
    ASSERT_TRUE(
        runBeside([&] { result = EchoClient::tcpSource(sourcePort, 6000000, 20000); }, 25000));
    EXPECT_TRUE(result.ok) << result.error << "\n" << logger.all();
    EXPECT_EQ(6000000, result.received);
}

// Over a link of 40 ms round trip a fixed window of 131072 bytes would cap
// a stream at about 3 MB/s: both ends' windows grow past it while the echo
// stays byte-exact.
TEST_F(TunnelRelayTest, WindowsGrowOverALongLinkAndTheEchoStaysExact) {
    int64_t sdkWindow = 0, labWindow = 0;
    echoOverALongLink(lab::RelayStream::MAX_QUEUED, &sdkWindow, &labWindow);
    EXPECT_GT(sdkWindow, tunnel::wire::INITIAL_GRANT);
    EXPECT_GT(labWindow, tunnel::wire::INITIAL_GRANT);
}

// A switch that only ever grants the fixed window still carries the stream;
// only the SDK's own window grows.
TEST_F(TunnelRelayTest, ASwitchWithTheFixedWindowStillCarriesTheStream) {
    int64_t sdkWindow = 0, labWindow = 0;
    echoOverALongLink(tunnel::wire::INITIAL_GRANT, &sdkWindow, &labWindow);
    EXPECT_GT(sdkWindow, tunnel::wire::INITIAL_GRANT);
    EXPECT_EQ(labWindow, tunnel::wire::INITIAL_GRANT);
}

TEST_F(TunnelRelayTest, UdpPeersGetSessionsOfTheirOwnAndTheLargestDatagramIsCarried) {
    start(L"");
    EchoClient::Result first, second, largest;
    ASSERT_TRUE(runBeside(
        [&] {
            std::thread other([&] { second = EchoClient::udpEcho(udpPort, 20, 1000, 10000, 99); });
            first = EchoClient::udpEcho(udpPort, 20, 1200, 10000, 1);
            other.join();
            // 65507 bytes: the largest payload an IPv4 datagram holds.
            largest = EchoClient::udpEcho(udpPort, 2, 65507, 10000, 5);
        },
        15000));
    EXPECT_TRUE(first.ok) << first.error;
    EXPECT_TRUE(second.ok) << second.error;
    EXPECT_TRUE(largest.ok) << largest.error;
    ASSERT_NE(nullptr, link());
    EXPECT_EQ(3, link()->sessionCount());
    EXPECT_EQ(3, client->connectionCount());
}

// The bound switch goes down mid-transfer: the keep service selects the
// other one, attaches the same tunnel, both ends resend what was not
// acknowledged, and the stream finishes byte for byte.
TEST_F(TunnelRelayTest, KillingTheBoundSwitchMidTransferLosesNothing) {
    start(L"forward-key");
    echoWhileTheBoundSwitchGoesDown(6000000, 35000);
}

// The bound switch goes silent (it answers nothing and reads nothing more):
// the client's receive timer gives up on it, the other switch takes the
// tunnel over, and what the silent one swallowed is sent again.
TEST_F(TunnelRelayTest, ASilentSwitchIsLeftAndTheTransferCompletes) {
    start(L"");
    std::atomic<bool> halfway{false};
    bool silenced = false;
    EchoClient::Result result;
    ASSERT_TRUE(runBeside(
        [&] {
            result = EchoClient::tcpEcho(tcpPort, 3000000, 30000, 5, [&](int64_t received) {
                if (received >= 1000000) halfway = true;
            });
        },
        35000,
        [&] {
            if (halfway && !silenced) {
                silenced = true;
                // Slow to answer a latency query too, so the selection prefers b.
                network->findSwitch(L"a")->setLatency(500);
                network->findSwitch(L"a")->setFault(lab::SwitchFault::SILENT);
            }
        }));
    EXPECT_TRUE(result.ok) << result.error << "\n" << logger.all();
    EXPECT_EQ(result.sentMd5, result.receivedMd5);
    EXPECT_TRUE(logger.hasPrefix("I [Client] Tunnel attached. Switch:")) << logger.all();
    ASSERT_NE(nullptr, link());
    EXPECT_GT(link()->resentPackets(), 0);
}

// The forward serves 1024 connections at once; the 1025th gets no channel.
TEST_F(TunnelRelayTest, ThousandTwentyFourConnectionsEchoAtOnce) {
    start(L"");
    const int COUNT = 1024;
    std::atomic<bool> allAccepted{false};
    std::atomic<int> accepted{0};
    std::vector<int> fds;
    bool extraClosed = false;
    int echoed = 0;
    std::string lost;
    ASSERT_TRUE(runBeside(
        [&] {
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(tcpPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (int i = 0; i < COUNT; ++i) {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
                    close(fd);
                    return;
                }
                fds.push_back(fd);
                // Stay inside the listener's backlog: an overflow costs a
                // one-second SYN retry.
                auto wait = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (i + 1 - accepted > 32 && std::chrono::steady_clock::now() < wait)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!allAccepted && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            int extra = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(extra, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
                pollfd p = {extra, POLLIN, 0};
                char byte;
                extraClosed = poll(&p, 1, 2000) == 1 && recv(extra, &byte, 1, 0) <= 0;
            }
            close(extra);
            for (int i = 0; i < COUNT; ++i) {
                std::string text = "connection " + std::to_string(i) + ";";
                send(fds[i], text.data(), text.size(), MSG_NOSIGNAL);
            }
            for (int i = 0; i < COUNT; ++i) {
                std::string expected = "connection " + std::to_string(i) + ";";
                std::string got;
                while (got.size() < expected.size()) {
                    pollfd p = {fds[i], POLLIN, 0};
                    if (poll(&p, 1, 5000) != 1) break;
                    char buffer[64];
                    ssize_t n = recv(fds[i], buffer, sizeof(buffer), 0);
                    if (n <= 0) break;
                    got.append(buffer, size_t(n));
                }
                if (got == expected) {
                    ++echoed;
                } else {
                    lost += " " + std::to_string(i);
                }
            }
            for (int fd : fds) close(fd);
        },
        30000,
        [&] {
            accepted = client->connectionCount();
            if (!allAccepted && client->connectionCount() >= COUNT) allAccepted = true;
        }));
    EXPECT_TRUE(allAccepted) << client->connectionCount();
    EXPECT_TRUE(extraClosed);
    EXPECT_EQ(COUNT, echoed) << "without their echo:" << lost << "\n" << logger.all();
}

// An application that sends everything and then shuts down its writing side
// (HTTP/1.0 clients, scripts) still reads the whole answer.
TEST_F(TunnelRelayTest, HalfClosedApplicationGetsTheWholeEcho) {
    start(L"");
    const size_t total = 100000;
    std::string received;
    std::string error;
    ASSERT_TRUE(runBeside(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(tcpPort);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
                error = "connect";
                ::close(fd);
                return;
            }
            std::string out(total, '\0');
            for (size_t i = 0; i < total; ++i) out[i] = static_cast<char>('a' + i % 23);
            // Small enough for the socket buffers: written whole before reading.
            size_t sent = 0;
            while (sent < total) {
                ssize_t n = ::send(fd, out.data() + sent, total - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += size_t(n);
            }
            ::shutdown(fd, SHUT_WR);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            char buffer[16384];
            while (received.size() < total && std::chrono::steady_clock::now() < deadline) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                received.append(buffer, size_t(n));
            }
            if (received != out.substr(0, received.size())) error = "corrupted";
            ::close(fd);
        },
        15000));
    EXPECT_EQ(error, "");
    EXPECT_EQ(received.size(), total) << logger.all();
}

// Connections keep arriving while the bound switch is lost. Those accepted
// after the client let go of the old switch and before the new one took the
// tunnel over were once handed to the direct standby link, which has no
// address here, and reset: each application lost its connection. Every one
// must go through the tunnel and get its echo.
TEST_F(TunnelRelayTest, ConnectionsOpenedDuringAFailoverAllGetTheirEcho) {
    struct Case {
        const char* name;
        std::function<void()> fail;
    };
    const Case cases[] = {
        {"silent switch, the receive limit fires",
         [this] {
             network->findSwitch(L"a")->setLatency(500);
             network->findSwitch(L"a")->setFault(lab::SwitchFault::SILENT);
         }},
        {"switch killed", [this] { network->command("down bound"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (network) {
            TearDown();
            SetUp();
            logger.lines.clear();
        }
        start(L"forward-key");
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(tcpPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<int> fds;
        int inGap = 0;       // accepted while no switch carried the tunnel
        int afterward = -1;  // connections opened once the tunnel was attached again
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (afterward < 20 && fds.size() < 1000 && std::chrono::steady_clock::now() < deadline) {
            if (fds.size() == 20) c.fail();
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
            fds.push_back(fd);
            std::string text = "connection " + std::to_string(fds.size() - 1) + ";";
            ASSERT_EQ(ssize_t(text.size()), send(fd, text.data(), text.size(), MSG_NOSIGNAL));
            int before = client->connectionCount();
            pumpUntil([&] { return client->connectionCount() > before; }, 200);
            pumpUntil([] { return false; }, 4);  // a steady trickle of connections
            if (!client->forwardTunnel()->hasUpstream()) ++inGap;
            if (afterward >= 0) ++afterward;
            if (afterward < 0 && fds.size() > 20 && client->forwardTunnel()->hasUpstream() &&
                logger.hasPrefix("I [Client] Tunnel attached."))
                afterward = 0;
        }
        EXPECT_GT(inGap, 0) << "no connection arrived between the two switches\n" << logger.all();
        std::vector<std::string> got(fds.size());
        auto echoed = [&] {
            for (size_t i = 0; i < fds.size(); ++i) {
                char buffer[64];
                ssize_t n = recv(fds[i], buffer, sizeof(buffer), MSG_DONTWAIT);
                if (n > 0) got[i].append(buffer, size_t(n));
            }
            for (size_t i = 0; i < fds.size(); ++i)
                if (got[i] != "connection " + std::to_string(i) + ";") return false;
            return true;
        };
        EXPECT_TRUE(pumpUntil(echoed, 10000)) << logger.all();
        size_t missing = 0;
        for (size_t i = 0; i < fds.size(); ++i)
            if (got[i] != "connection " + std::to_string(i) + ";") ++missing;
        EXPECT_EQ(0u, missing) << "of " << fds.size() << ", " << inGap << " opened in the gap";
        for (int fd : fds) close(fd);
    }
}
