#include <gtest/gtest.h>

#include <string>

#include "core/src/time/Clock.h"
#include "forward_tunnel/ForwardTestSupport.h"
#include "net/src/socket/Socket.h"
#include "tunnel_client/client/DataEncryptor.h"
#include "tunnel_client/forward/ForwardSession.h"
#include "tunnel_client/forward/ForwardTunnel.h"
#include "tunnel_client/forward/TcpForward.h"
#include "tunnel_client/forward/TcpForwardDataChannel.h"
#include "tunnel_client/forward/TcpForwardManager.h"

using kx::core::Binary;
using kx::core::String;
using kx::net::IpAddress;
using kx::net::Socket;
using kx::net::SocketAddress;
using kx::net::SocketEventSelector;
using tunnel::DataEncryptor;
using tunnel::ForwardSession;
using tunnel::ForwardTunnel;
using tunnel::TcpForward;
using tunnel::TcpForwardDataChannel;
using tunnel::TunnelPacket;
using tunnel::testing::FakeSwitch;
using tunnel::testing::pumpFor;
using tunnel::testing::pumpUntil;
using tunnel::testing::TestClient;

namespace {

const uint8_t TCP = TunnelPacket::CLASS_TCP;
const IpAddress LOOPBACK("127.0.0.1");

std::string pattern(int32_t n) {
    std::string s;
    for (int32_t i = 0; i < n; ++i) s += static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

std::string payloadOf(const Binary& packet) {
    const uint8_t* data;
    int32_t n;
    if (!TunnelPacket(packet).payload(&data, &n)) return "<incomplete>";
    return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
}

class TcpForwardTest : public ::testing::Test {
protected:
    explicit TcpForwardTest(const String& key = L"",
                            int32_t capacity = ForwardTunnel::BACKUP_CAPACITY,
                            kx::core::Array<IpAddress> standby = {})
        : selector(50), tunnel(&selector, LOOPBACK, standby, key, capacity), sw(&tunnel) {}

    void openTunnel() {
        ASSERT_TRUE(tunnel.open(L"T1"));
        tunnel.setUpstream(&sw.upstream);
    }
    TcpForward* addForward(int standbyPort = 0) {
        TcpForward* forward = tunnel.tcpForwardManager()->add(0, standbyPort);
        EXPECT_NE(forward, nullptr);
        return forward;
    }
    SocketAddress addressOf(TcpForward* forward) {
        return SocketAddress(LOOPBACK, static_cast<uint16_t>(forward->clientPort()));
    }
    // Connects a client and waits for its open packet; returns the channel id.
    uint16_t connectThroughTunnel(TcpForward* forward, std::unique_ptr<TestClient>* client) {
        size_t before = sw.sent(TCP, TunnelPacket::KIND_OPEN).size();
        client->reset(new TestClient(addressOf(forward)));
        EXPECT_TRUE(pumpUntil(
            selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_OPEN).size() > before; }));
        auto opens = sw.sent(TCP, TunnelPacket::KIND_OPEN);
        return opens.empty() ? 0 : TunnelPacket(opens.back()).channel();
    }
    // Opens the tunnel, adds a forward and connects one client through it;
    // `accept` answers the open packet with success. Returns the channel id.
    uint16_t connectFirst(TcpForward** forward, std::unique_ptr<TestClient>* client, bool accept) {
        openTunnel();
        *forward = addForward();
        if (!*forward) return 0;
        uint16_t id = connectThroughTunnel(*forward, client);
        if (accept) sw.openResult(TCP, id, 1);
        return id;
    }

    SocketEventSelector selector;
    ForwardTunnel tunnel;
    FakeSwitch sw;
};

TEST_F(TcpForwardTest, DataChannelCarriesAStreamBothWaysAndReportsItsClose) {
    openTunnel();
    TcpForward* forward = addForward();
    EXPECT_EQ(tunnel.tcpForwardManager()->add(forward->clientPort(), 0), nullptr);

    std::unique_ptr<TestClient> client;
    uint16_t id = connectThroughTunnel(forward, &client);
    ASSERT_NE(id, 0);
    ASSERT_EQ(sw.upstream.packets.size(), 2u);
    uint16_t port = 0;
    ASSERT_TRUE(TunnelPacket(sw.upstream.packets[0]).openPort(&port));
    EXPECT_EQ(port, forward->clientPort());
    uint32_t granted = 0;
    ASSERT_TRUE(TunnelPacket(sw.upstream.packets[1]).windowGrant(&granted));
    EXPECT_EQ(granted, 131072u);
    EXPECT_EQ(tunnel.connectionCount(), 1);

    ASSERT_TRUE(client->write("hello"));
    ASSERT_TRUE(pumpUntil(selector, [&] { return sw.dataOf(TCP, id) == "hello"; }));

    // Nothing from the switch reaches the application before the open result.
    sw.data(TCP, id, Binary("early"));
    sw.openResult(TCP, id, 1);
    sw.data(TCP, id, Binary("world"));
    std::string big = pattern(20000);
    sw.data(TCP, id, Binary::fromStdString(big.substr(0, 10000)));
    sw.data(TCP, id, Binary::fromStdString(big.substr(10000)));
    ASSERT_TRUE(pumpUntil(selector, [&] {
        client->poll();
        return client->received.size() >= 20005;
    }));
    EXPECT_TRUE(client->received == "world" + big);
    // Delivered bytes are granted back once 16384 or more have been written.
    ASSERT_TRUE(
        pumpUntil(selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_WINDOW).size() == 2; }));
    ASSERT_TRUE(TunnelPacket(sw.sent(TCP, TunnelPacket::KIND_WINDOW)[1]).windowGrant(&granted));
    EXPECT_EQ(granted, 20005u);

    client->socket.close();
    ASSERT_TRUE(
        pumpUntil(selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_CLOSE).size() == 1; }));
    EXPECT_EQ(TunnelPacket(sw.sent(TCP, TunnelPacket::KIND_CLOSE)[0]).channel(), id);
    ASSERT_TRUE(pumpUntil(selector, [&] { return tunnel.connectionCount() == 0; }));
}

TEST_F(TcpForwardTest, LocalDataIsCutIntoPiecesOfAtMost16384Bytes) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, false);
    TcpForwardDataChannel* channel = forward->dataChannel(id);
    ASSERT_NE(channel, nullptr);

    std::string text = pattern(40000);
    Binary data = Binary::fromStdString(text);
    channel->onReceive(data);
    auto pieces = sw.sent(TCP, TunnelPacket::KIND_DATA);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(payloadOf(pieces[0]).size(), 16384u);
    EXPECT_EQ(payloadOf(pieces[1]).size(), 16384u);
    EXPECT_EQ(payloadOf(pieces[2]).size(), 7232u);
    EXPECT_TRUE(sw.dataOf(TCP, id) == text);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(TunnelPacket(pieces[i]).sequence(), 2u + i);
}

TEST_F(TcpForwardTest, MalformedPacketsFromTheSwitchAreIgnoredOrEndTheChannel) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, true);

    // A data packet announcing more bytes than it holds is ignored.
    Binary lying;
    TunnelPacket::buildData(&lying, TCP, id, reinterpret_cast<const uint8_t*>("abcdef"), 6);
    lying[8] = 100;
    sw.deliver(lying);
    sw.deliver(Binary("\x02\x04\x00\x00\x00\x00\x01", 7));         // no channel id
    sw.data(TCP, static_cast<uint16_t>(id + 1), Binary("other"));  // unknown id
    sw.data(TCP, id, Binary("ok"));
    ASSERT_TRUE(pumpUntil(selector, [&] {
        client->poll();
        return client->received.size() >= 2;
    }));
    pumpFor(selector, 50);
    client->poll();
    EXPECT_EQ(client->received, "ok");

    // The switch closing the stream: pending bytes are written, then the end.
    sw.data(TCP, id, Binary("bye"));
    sw.deliver(TunnelPacket::buildClose(TCP, id));
    ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
    EXPECT_EQ(client->received, "okbye");
}

// An application that sends its request and then shuts down its writing
// side (HTTP/1.0 clients, scripts) still gets the whole answer: the stream
// stays open until the switch closes it, or until the switch stays silent
// for the linger time. An end of stream after the answer closes at once.
TEST_F(TcpForwardTest, HalfClosedApplicationStillReceivesTheAnswer) {
    struct Case {
        const char* name;
        bool switchCloses;  // else the linger time runs out
    } cases[] = {{"switch closes", true}, {"switch silent", false}};
    kx::core::Clock::resetForTests();
    TcpForward* forward = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TestClient> client;
        uint16_t id = 0;
        if (!forward) {
            id = connectFirst(&forward, &client, true);
        } else {
            id = connectThroughTunnel(forward, &client);
            sw.openResult(TCP, id, 1);
        }
        ASSERT_NE(id, 0);
        size_t closes = sw.sent(TCP, TunnelPacket::KIND_CLOSE).size();

        ASSERT_TRUE(client->write("request"));
        ASSERT_TRUE(client->socket.shutdown(Socket::SHUT_SEND));
        ASSERT_TRUE(pumpUntil(selector, [&] { return sw.dataOf(TCP, id) == "request"; }));
        pumpFor(selector, 30);  // the end of stream arrives and is taken in
        EXPECT_EQ(sw.sent(TCP, TunnelPacket::KIND_CLOSE).size(), closes);

        sw.data(TCP, id, Binary("answer"));
        ASSERT_TRUE(pumpUntil(selector, [&] {
            client->poll();
            return client->received == "answer";
        }));
        EXPECT_FALSE(client->closed);

        if (c.switchCloses) {
            sw.deliver(TunnelPacket::buildClose(TCP, id));
        } else {
            // Heartbeats keep the tunnel itself alive meanwhile.
            kx::core::Clock::advance(TcpForwardDataChannel::LINGER_MS - 1000);
            sw.ack(0xFFFFFFFFu);
            tunnel.tick();
            pumpFor(selector, 30);
            client->poll();
            EXPECT_FALSE(client->closed) << "closed before the linger time";
            kx::core::Clock::advance(2000);
            sw.ack(0xFFFFFFFFu);
            tunnel.tick();
        }
        ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
        EXPECT_EQ(client->received, "answer");
        ASSERT_TRUE(pumpUntil(
            selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_CLOSE).size() == closes + 1; }));
        EXPECT_EQ(TunnelPacket(sw.sent(TCP, TunnelPacket::KIND_CLOSE).back()).channel(), id);
    }

    // Request, answer, then the end of stream: nothing is owed, no linger.
    std::unique_ptr<TestClient> client;
    uint16_t id = connectThroughTunnel(forward, &client);
    sw.openResult(TCP, id, 1);
    size_t closes = sw.sent(TCP, TunnelPacket::KIND_CLOSE).size();
    ASSERT_TRUE(client->write("ping"));
    ASSERT_TRUE(pumpUntil(selector, [&] { return sw.dataOf(TCP, id) == "ping"; }));
    sw.data(TCP, id, Binary("pong"));
    ASSERT_TRUE(pumpUntil(selector, [&] {
        client->poll();
        return client->received == "pong";
    }));
    ASSERT_TRUE(client->socket.shutdown(Socket::SHUT_SEND));
    ASSERT_TRUE(pumpUntil(
        selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_CLOSE).size() == closes + 1; }));
    ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
    kx::core::Clock::resetForTests();
}

TEST_F(TcpForwardTest, RefusedOpenAbortsTheConnection) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, false);
    sw.openResult(TCP, id, 0);
    ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
    ASSERT_TRUE(
        pumpUntil(selector, [&] { return sw.sent(TCP, TunnelPacket::KIND_CLOSE).size() == 1; }));
}

TEST_F(TcpForwardTest, ClosingTheTunnelEndsItsConnectionsAndNewOnesGoStandby) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, false);
    ASSERT_NE(id, 0);
    size_t packets = sw.upstream.packets.size();

    tunnel.close();
    EXPECT_EQ(tunnel.tunnelId(), String());
    EXPECT_FALSE(forward->hasChannel(id));
    ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
    EXPECT_EQ(sw.upstream.packets.size(), packets);  // no close packet

    // Still listening; without a tunnel and without standby addresses the
    // connection is refused with a console line.
    ::testing::internal::CaptureStdout();
    TestClient late(addressOf(forward));
    bool ended = pumpUntil(selector, [&] { return !late.poll(); });
    std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ended);
    EXPECT_NE(console.find("DEBUG: 备用链路无效"), std::string::npos) << console;
}

class StandbyTest : public TcpForwardTest {
protected:
    StandbyTest() : TcpForwardTest(L"", ForwardTunnel::BACKUP_CAPACITY, {LOOPBACK}) {}
};

TEST_F(StandbyTest, WithoutATunnelConnectionsRelayToTheTargetDirectly) {
    Socket backend(Socket::TYPE_TCP);
    ASSERT_TRUE(backend.setReuseAddress(1));
    ASSERT_TRUE(backend.bind(SocketAddress(LOOPBACK, 0)));
    ASSERT_TRUE(backend.listen());
    backend.setBlocking(false);
    uint16_t backendPort = backend.localAddress().port;

    TcpForward* forward = addForward(backendPort);
    ::testing::internal::CaptureStdout();
    TestClient client(addressOf(forward));
    Socket server;
    ASSERT_TRUE(pumpUntil(selector, [&] { return backend.accept(&server); }));
    pumpFor(selector, 20);
    std::string console = ::testing::internal::GetCapturedStdout();
    std::string masked = "127.*.*.1:" + std::to_string(backendPort);
    EXPECT_NE(console.find("DEBUG: 备用链路链接中: " + masked), std::string::npos) << console;
    EXPECT_NE(console.find("DEBUG: 备用链路已连接: " + masked), std::string::npos) << console;
    EXPECT_TRUE(sw.upstream.packets.empty());

    server.setBlocking(false);
    ASSERT_TRUE(client.write("ping"));
    std::string atServer;
    ASSERT_TRUE(pumpUntil(selector, [&] {
        char buf[64];
        int n = server.receive(buf, sizeof(buf));
        if (n > 0) atServer.append(buf, static_cast<size_t>(n));
        return atServer == "ping";
    }));
    Binary pong("pong");
    ASSERT_EQ(server.send(pong, 0, 4), 4);
    ASSERT_TRUE(pumpUntil(selector, [&] {
        client.poll();
        return client.received == "pong";
    }));

    // The application's last bytes still reach the target after it closed.
    std::string tail = pattern(100000);
    ASSERT_TRUE(client.write(tail));
    client.socket.close();
    std::string rest;
    ASSERT_TRUE(pumpUntil(
        selector,
        [&] {
            tunnel.tick();
            char buf[8192];
            int n = server.receive(buf, sizeof(buf));
            if (n > 0) rest.append(buf, static_cast<size_t>(n));
            return n == 0;
        },
        3000));
    EXPECT_TRUE(rest == tail) << rest.size();
}

// A piece the backup queue refused used to be dropped, leaving a hole in the
// stream; now the channel holds it, stops reading and resumes on room.
class FullQueueTest : public TcpForwardTest {
protected:
    FullQueueTest() : TcpForwardTest(L"", 40000) {}
};

TEST_F(FullQueueTest, FullBackupQueueNeverLeavesAHoleInTheStream) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, true);
    TcpForwardDataChannel* channel = forward->dataChannel(id);
    ASSERT_NE(channel, nullptr);

    std::string first = pattern(40000);
    Binary data = Binary::fromStdString(first);
    channel->onReceive(data);  // 22 + 16394 + 16394 fit, the 7232-byte piece does not
    EXPECT_EQ(sw.sent(TCP, TunnelPacket::KIND_DATA).size(), 2u);
    EXPECT_TRUE(channel->hasPendingOutput());
    Binary more("0123456789");
    channel->onReceive(more);

    // While data is held, grants from the switch do not let more be read.
    int credit = channel->receiveCredit();
    sw.window(TCP, id, 500000);
    EXPECT_EQ(channel->receiveCredit(), credit);

    sw.ack(2);  // frees the open, window and first piece
    EXPECT_FALSE(channel->hasPendingOutput());
    EXPECT_TRUE(sw.dataOf(TCP, id) == first + "0123456789");
    EXPECT_GT(channel->receiveCredit(), credit);
    uint32_t expected = 2;
    for (const Binary& p : sw.sent(TCP, TunnelPacket::KIND_DATA))
        EXPECT_EQ(TunnelPacket(p).sequence(), expected++);
}

TEST_F(FullQueueTest, LocalCloseWhileDataIsHeldSendsTheTailBeforeTheClose) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, true);
    TcpForwardDataChannel* channel = forward->dataChannel(id);
    ASSERT_NE(channel, nullptr);
    std::string text = pattern(40000);
    Binary data = Binary::fromStdString(text);
    channel->onReceive(data);
    ASSERT_TRUE(channel->hasPendingOutput());

    // A reset: the local side is gone for good (an end of stream before any
    // answer would keep the stream open for one, see HalfClosed... below).
    client->socket.setLinger(true, 0);
    client->socket.close();
    ASSERT_TRUE(pumpUntil(selector, [&] { return forward->drainingCount() == 1; }));
    EXPECT_EQ(tunnel.connectionCount(), 0);
    EXPECT_TRUE(sw.sent(TCP, TunnelPacket::KIND_CLOSE).empty());
    pumpFor(selector, 100);  // the server's sweep must not take the draining channel
    EXPECT_EQ(forward->dataChannel(id), channel);

    sw.ack(3);
    EXPECT_TRUE(sw.dataOf(TCP, id) == text);
    auto closes = sw.sent(TCP, TunnelPacket::KIND_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_GT(TunnelPacket(closes[0]).sequence(),
              TunnelPacket(sw.sent(TCP, TunnelPacket::KIND_DATA).back()).sequence());
    tunnel.tick();
    EXPECT_EQ(forward->drainingCount(), 0);
    EXPECT_EQ(forward->dataChannel(id), nullptr);
}

class EncryptedForwardTest : public TcpForwardTest {
protected:
    EncryptedForwardTest() : TcpForwardTest(L"nat-key") {}
};

TEST_F(EncryptedForwardTest, PayloadsAreEncryptedPerPacketAndBadCiphertextEndsTheChannel) {
    TcpForward* forward = nullptr;
    std::unique_ptr<TestClient> client;
    uint16_t id = connectFirst(&forward, &client, true);
    DataEncryptor cipher(ForwardSession::sessionKey(L"nat-key", L"T1"));

    ASSERT_TRUE(client->write("secret"));
    ASSERT_TRUE(
        pumpUntil(selector, [&] { return !sw.sent(TCP, TunnelPacket::KIND_DATA).empty(); }));
    Binary packet = sw.sent(TCP, TunnelPacket::KIND_DATA)[0];
    std::string wire = payloadOf(packet);
    EXPECT_NE(wire.find_first_of('s'), 0u);
    Binary plain;
    ASSERT_TRUE(
        cipher.decrypt(&plain, Binary::fromStdString(wire), TunnelPacket(packet).sequence()));
    EXPECT_EQ(plain.toStdString(), "secret");

    Binary reply;
    ASSERT_TRUE(cipher.encrypt(&reply, Binary("reply"), sw.nextSequence()));
    sw.data(TCP, id, reply);
    ASSERT_TRUE(pumpUntil(selector, [&] {
        client->poll();
        return client->received == "reply";
    }));

    sw.data(TCP, id, Binary("not a ciphertext"));
    ASSERT_TRUE(pumpUntil(selector, [&] { return !client->poll(); }));
    EXPECT_EQ(client->received, "reply");
}

// Between two switches the tunnel lives on without an upstream: a connection
// accepted then goes through it (not to a standby link that resets it), and
// its open and data reach the next switch with the resent packets, in order.
TEST_F(TcpForwardTest, ConnectionAcceptedBetweenTwoSwitchesWaitsForTheNextOne) {
    openTunnel();
    tunnel.setUpstream(nullptr);
    TcpForward* forward = addForward();
    TestClient client(addressOf(forward));
    ASSERT_TRUE(client.write("hello"));
    ASSERT_TRUE(pumpUntil(selector, [&] { return tunnel.nextSendSequence() == 3; }));
    EXPECT_EQ(tunnel.connectionCount(), 1);
    EXPECT_TRUE(sw.upstream.packets.empty());

    tunnel.sendBackups(&sw.upstream);
    tunnel.setUpstream(&sw.upstream);
    ASSERT_EQ(sw.upstream.packets.size(), 3u);
    const uint8_t kinds[] = {TunnelPacket::KIND_OPEN, TunnelPacket::KIND_WINDOW,
                             TunnelPacket::KIND_DATA};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(TunnelPacket(sw.upstream.packets[i]).kind(), kinds[i]);
        EXPECT_EQ(TunnelPacket(sw.upstream.packets[i]).sequence(), i);
    }
    uint16_t id = TunnelPacket(sw.upstream.packets[0]).channel();
    EXPECT_EQ(sw.dataOf(TCP, id), "hello");
}

// With standby addresses, a connection accepted between two switches keeps
// taking its direct link, as it does whenever no upstream is bound.
TEST_F(StandbyTest, BetweenTwoSwitchesConnectionsStillTakeTheirStandbyLink) {
    Socket backend(Socket::TYPE_TCP);
    ASSERT_TRUE(backend.setReuseAddress(1));
    ASSERT_TRUE(backend.bind(SocketAddress(LOOPBACK, 0)));
    ASSERT_TRUE(backend.listen());
    backend.setBlocking(false);
    openTunnel();
    tunnel.setUpstream(nullptr);
    TcpForward* forward = addForward(backend.localAddress().port);
    ::testing::internal::CaptureStdout();
    TestClient client(addressOf(forward));
    Socket server;
    bool relayed = pumpUntil(selector, [&] { return backend.accept(&server); });
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(relayed);
    EXPECT_EQ(tunnel.nextSendSequence(), 0u);  // nothing went into the tunnel
}

}  // namespace
