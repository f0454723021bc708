#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/time/Clock.h"
#include "lab_backend/TcpBackend.h"
#include "lab_backend/UdpEchoBackend.h"
#include "lab_network/LabNetwork.h"
#include "lab_switch/PacketCipher.h"
#include "lab_switch/RelayStream.h"
#include "lab_switch/TunnelLink.h"
#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using kx::core::String;
using lab::TunnelLink;
using tunnel::TunnelPacket;

namespace {

const int64_t TARGET = 7;
const uint16_t ECHO_PORT = 5001;
const uint16_t UDP_PORT = 5002;
const uint16_t SOURCE_PORT = 5003;

// The switch's packet layer driven directly: the test plays the client by
// feeding packets to receive() and reading what the link kept for sending.
class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        kx::core::Clock::resetForTests();
        selector.reset(new kx::net::SocketEventSelector(20));
        start(L"");
    }
    void TearDown() override {
        link.reset();
        network.reset();
        selector.reset();
    }

    void start(const String& forwardKey, int64_t capacity = tunnel::wire::BACKUP_CAPACITY) {
        link.reset();
        network.reset(new lab::LabNetwork(selector.get()));
        lab::LabConfig config;
        String error;
        ASSERT_TRUE(lab::LabConfig::fromJson(
            String(L"{\"switches\": [], \"forward_key\": \"") + forwardKey +
                L"\", \"backends\": ["
                L"{\"name\": \"echo\", \"kind\": \"tcp_echo\", \"listen\": \"127.0.0.1:0\"},"
                L"{\"name\": \"udp\", \"kind\": \"udp_echo\", \"listen\": \"127.0.0.1:0\"},"
                L"{\"name\": \"source\", \"kind\": \"tcp_source\", \"listen\": \"127.0.0.1:0\"}],"
                L"\"routes\": ["
                L"{\"target_id\": 7, \"client_port\": 5001, \"backend\": \"echo\"},"
                L"{\"target_id\": 7, \"client_port\": 5002, \"backend\": \"udp\"},"
                L"{\"target_id\": 7, \"client_port\": 5003, \"backend\": \"source\"}]}",
            &config, &error))
            << error.toStdString();
        ASSERT_TRUE(network->start(config, &error)) << error.toStdString();
        link.reset(new TunnelLink(&network->relay(), TARGET, L"tunnel-1", capacity));
    }

    bool pumpUntil(const std::function<bool()>& done, int limitMs = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            selector->select(5);
            network->tick();
            link->tick();
        }
        return true;
    }

    // A client packet with the next client sequence number.
    void give(Binary packet) {
        TunnelPacket::writeSequence(packet, clientSequence++);
        link->receive(packet);
    }
    void giveData(uint8_t cls, uint16_t channel, const Binary& payload) {
        Binary packet;
        ASSERT_TRUE(
            TunnelPacket::buildData(&packet, cls, channel, payload.data(), payload.length()));
        give(packet);
    }
    void ack(uint32_t sequence) { link->receive(TunnelPacket::buildAck(sequence)); }

    // Payload bytes of the kept data packets of one channel, from index `from`.
    Binary keptPayload(uint16_t channel, size_t from = 0, lab::PacketCipher* cipher = nullptr) {
        Binary all;
        const auto& kept = link->kept();
        for (size_t i = from; i < kept.size(); ++i) {
            TunnelPacket view = kept[i].packet();
            const uint8_t* data = nullptr;
            int32_t length = 0;
            if (view.channel() != channel || view.kind() != TunnelPacket::KIND_DATA) continue;
            if (!view.payload(&data, &length)) continue;
            if (cipher) {
                Binary plain;
                EXPECT_TRUE(cipher->decrypt(data, length, view.sequence(), &plain));
                all.append(plain);
            } else {
                all.append(data, length);
            }
        }
        return all;
    }
    int countKind(uint8_t kind, uint16_t channel) {
        int n = 0;
        for (const auto& kept : link->kept()) {
            TunnelPacket view = kept.packet();
            if (view.kind() == kind && view.channel() == channel) ++n;
        }
        return n;
    }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::LabNetwork> network;
    std::unique_ptr<TunnelLink> link;
    uint32_t clientSequence = 0;
};

Binary pattern(int32_t length, uint8_t seed) {
    Binary data;
    data.resize(length);
    for (int32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return data;
}

}  // namespace

TEST_F(RelayTest, StreamAnswersAfterTheBackEndAndSendsOnlyWithinTheClientsWindow) {
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 9, ECHO_PORT));
    // The client may send before the open result; those bytes wait for the back end.
    Binary data = pattern(40000, 3);
    giveData(TunnelPacket::CLASS_TCP, 9, Binary(data.data(), 1000));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 9, 100));
    EXPECT_EQ(0, link->keptCount());  // nothing before the back end answered

    ASSERT_TRUE(pumpUntil([&] { return keptPayload(9).length() == 100; }));
    // Open result (accepted), then the first grant, numbered from 0.
    const auto& kept = link->kept();
    TunnelPacket first = kept[0].packet();
    uint8_t status = 0;
    EXPECT_EQ(TunnelPacket::KIND_OPEN_RESULT, first.kind());
    EXPECT_TRUE(first.openStatus(&status));
    EXPECT_EQ(1, status);
    uint32_t granted = 0;
    EXPECT_TRUE(kept[1].packet().windowGrant(&granted));
    EXPECT_EQ(131072u, granted);
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(i, kept[i].sequence);
    pumpUntil([] { return false; }, 100);
    EXPECT_EQ(100, keptPayload(9).length()) << "sent beyond the window";

    giveData(TunnelPacket::CLASS_TCP, 9, Binary(data.data() + 1000, 39000));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 9, 39900));
    ASSERT_TRUE(pumpUntil([&] { return keptPayload(9).length() == 40000; }));
    EXPECT_EQ(data, keptPayload(9));
    // Bytes delivered to the back end are granted back in steps of 16384 or more.
    int64_t regranted = 0;
    for (size_t i = 2; i < kept.size(); ++i) {
        uint32_t grant = 0;
        TunnelPacket view = kept[i].packet();
        if (view.kind() == TunnelPacket::KIND_WINDOW && view.windowGrant(&grant))
            regranted += grant;
    }
    EXPECT_GT(regranted, 40000 - 16384);
    EXPECT_LE(regranted, 40000);
    EXPECT_EQ(1, link->streamCount());

    // The client closes: the stream goes without a close of its own.
    give(TunnelPacket::buildClose(TunnelPacket::CLASS_TCP, 9));
    ASSERT_TRUE(pumpUntil([&] { return link->streamCount() == 0; }));
    EXPECT_EQ(0, countKind(TunnelPacket::KIND_CLOSE, 9));
}

TEST_F(RelayTest, UnroutedPortsAndUnreachableBackEndsAreRefused) {
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 4, 6000));
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 5, ECHO_PORT));  // a TCP route
    ASSERT_EQ(2, link->keptCount());
    for (int i = 0; i < 2; ++i) {
        uint8_t status = 9;
        EXPECT_TRUE(link->kept()[i].packet().openStatus(&status));
        EXPECT_EQ(0, status);
    }
    EXPECT_EQ(0, link->streamCount());
    EXPECT_EQ(0, link->sessionCount());
}

// An acknowledgement frees kept packets only when it names one that was sent
// and not yet acknowledged, counted modulo 2^32 from the oldest kept one.
TEST_F(RelayTest, AcknowledgementsFreeOnlyPacketsThatWereSent) {
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 9, 6000));  // refused: packet 0
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 10, 6000));
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 11, 6000));
    ASSERT_EQ(3, link->keptCount());

    ack(tunnel::wire::NOTHING_RECEIVED);
    ack(3);  // never sent
    ack(0x80000000u);
    EXPECT_EQ(3, link->keptCount());
    ack(0);
    EXPECT_EQ(2, link->keptCount());
    ack(0);  // stale
    EXPECT_EQ(2, link->keptCount());
    ack(2);
    EXPECT_EQ(0, link->keptCount());
    EXPECT_EQ(0, link->keptBytes());
    EXPECT_EQ(3u, link->nextSendSequence());
}

TEST_F(RelayTest, ClientPacketsAreDeliveredStrictlyInOrderAndAcknowledgedByNumber) {
    EXPECT_EQ(tunnel::wire::NOTHING_RECEIVED, link->takeAckNumber());
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 1, 6000));
    // Packet 5 while 1 is expected: dropped, not delivered, not acknowledged.
    Binary early = TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 2, 6000);
    TunnelPacket::writeSequence(early, 5);
    link->receive(early);
    EXPECT_EQ(1, link->droppedOutOfOrder());
    EXPECT_EQ(1, link->keptCount());
    EXPECT_EQ(0u, link->takeAckNumber());
    // A resent duplicate of packet 0 is dropped as well.
    Binary again = TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 1, 6000);
    link->receive(again);
    EXPECT_EQ(2, link->droppedOutOfOrder());
    EXPECT_EQ(1u, link->receiveSequence());
}

TEST_F(RelayTest, EncryptedPayloadsUseTheForwardKeyTunnelIdAndSequence) {
    start(L"forward-secret");
    lab::PacketCipher client(L"forward-secret", L"tunnel-1");
    ASSERT_TRUE(client.isOn());
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 3, ECHO_PORT));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 3, 131072));
    Binary plain = pattern(5000, 11);
    Binary cipher;
    // The client encrypts with the number its packet is about to get.
    ASSERT_TRUE(client.encrypt(plain.data(), plain.length(), clientSequence, &cipher));
    giveData(TunnelPacket::CLASS_TCP, 3, cipher);
    ASSERT_TRUE(pumpUntil([&] { return keptPayload(3, 0, &client).length() == 5000; }));
    EXPECT_EQ(plain, keptPayload(3, 0, &client));
    EXPECT_NE(plain, keptPayload(3)) << "payload travelled in plain form";

    // Garbage that is no ciphertext ends the stream with a close.
    giveData(TunnelPacket::CLASS_TCP, 3, Binary("not a ciphertext"));
    EXPECT_EQ(1, countKind(TunnelPacket::KIND_CLOSE, 3));
}

TEST_F(RelayTest, UdpSessionsEchoWithinTheWindowAndKeepTheirIds) {
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 21, UDP_PORT));
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 22, UDP_PORT));
    EXPECT_EQ(2, link->sessionCount());
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_UDP, 21, 131072));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_UDP, 22, 10));
    // The largest datagram IPv4 can carry (65535 minus the IP and UDP headers).
    Binary big = pattern(65507, 1);
    giveData(TunnelPacket::CLASS_UDP, 21, big);
    giveData(TunnelPacket::CLASS_UDP, 22, Binary("hello"));
    giveData(TunnelPacket::CLASS_UDP, 22, Binary("world!"));  // beyond its window of 10
    ASSERT_TRUE(pumpUntil([&] {
        return keptPayload(21).length() == big.length() && keptPayload(22).length() == 5;
    })) << keptPayload(21).length()
        << " " << keptPayload(22).length();
    EXPECT_EQ(big, keptPayload(21));
    pumpUntil([] { return false; }, 100);
    EXPECT_EQ(Binary("hello"), keptPayload(22));

    give(TunnelPacket::buildClose(TunnelPacket::CLASS_UDP, 21));
    ASSERT_TRUE(pumpUntil([&] { return link->sessionCount() == 1; }));
    EXPECT_EQ(0, countKind(TunnelPacket::KIND_CLOSE, 21));

    // The client's datagrams count against the window the switch granted: a
    // back end that has not taken them yet leaves no room for more.
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 23, UDP_PORT));
    for (int i = 0; i < 2; ++i) giveData(TunnelPacket::CLASS_UDP, 23, pattern(65535, 2));
    EXPECT_EQ(0, countKind(TunnelPacket::KIND_CLOSE, 23));
    giveData(TunnelPacket::CLASS_UDP, 23, Binary("xyz"));  // 131073 bytes
    EXPECT_EQ(1, countKind(TunnelPacket::KIND_CLOSE, 23));
}

// Kept copies are bounded by stopping to read from the back end, never by
// dropping stream bytes; room freed by an acknowledgement resumes reading.
TEST_F(RelayTest, AFullBackupStopsReadingTheBackEndUntilAcknowledged) {
    start(L"", 65536);
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 8, SOURCE_PORT));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 8, 4 << 20));
    ASSERT_TRUE(pumpUntil([&] { return !link->hasRoom(); }));
    pumpUntil([] { return false; }, 200);
    int64_t stalled = link->keptBytes();
    EXPECT_LT(stalled, 65536 + 2 * 262144) << "reading went on past the capacity";
    pumpUntil([] { return false; }, 100);
    EXPECT_EQ(stalled, link->keptBytes());

    Binary before = keptPayload(8);
    ack(link->nextSendSequence() - 1);
    EXPECT_EQ(0, link->keptCount());
    ASSERT_TRUE(pumpUntil([&] { return link->keptBytes() > 0; }));
    Binary after = keptPayload(8);
    // The stream continues exactly where it stopped.
    for (int32_t i = 0; i < 64 && i < after.length(); ++i)
        ASSERT_EQ(lab::TcpBackend::patternByte(before.length() + i), after[i]) << i;
}

namespace {

// A back end that accepts and never reads: whatever the switch writes to it
// stays queued once the socket buffers are full.
struct StalledServer {
    kx::net::Socket listener{kx::net::Socket::TYPE_TCP};
    kx::net::Socket accepted;
    kx::net::SocketAddress address;

    bool start() {
        listener.setReceiveBufferSize(4096);
        if (!listener.bind(kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0)))
            return false;
        if (!listener.listen()) return false;
        address = listener.localAddress();
        return true;
    }
    void acceptOne() {
        if (!accepted.isValid() && listener.waitReady(true, false, false, 0))
            listener.accept(&accepted);
    }
    // True once the switch closed its end (EOF or reset).
    bool peerGone() {
        if (!accepted.isValid()) return false;
        char sink[65536];
        for (;;) {
            int rc = accepted.receive(sink, sizeof(sink));
            if (rc == 0) return true;
            if (rc < 0) return !kx::net::Socket::lastErrorWouldBlock();
        }
    }
};

}  // namespace

// A client that sends past the window it was granted loses the stream: the
// switch would otherwise queue without limit towards a slow back end.
TEST_F(RelayTest, AClientThatIgnoresTheWindowLosesTheStream) {
    StalledServer stalled;
    ASSERT_TRUE(stalled.start());
    network->relay().addRoute(TARGET, 5009, false, stalled.address);
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 6, 5009));
    ASSERT_TRUE(pumpUntil([&] { return countKind(TunnelPacket::KIND_WINDOW, 6) == 1; }));
    Binary piece = pattern(16384, 1);
    // Exactly the first grant is fine ...
    for (int i = 0; i < tunnel::wire::INITIAL_GRANT / 16384; ++i)
        giveData(TunnelPacket::CLASS_TCP, 6, piece);
    pumpUntil(
        [&] {
            stalled.acceptOne();
            return false;
        },
        100);
    EXPECT_EQ(0, countKind(TunnelPacket::KIND_CLOSE, 6));
    // ... but beyond what was granted since, the stream is over.
    int32_t extra = 0;
    for (uint32_t i = 0; i < 200 && countKind(TunnelPacket::KIND_CLOSE, 6) == 0; ++i, ++extra)
        giveData(TunnelPacket::CLASS_TCP, 6, piece);
    EXPECT_EQ(1, countKind(TunnelPacket::KIND_CLOSE, 6));
    EXPECT_LT(extra, 40) << "queued far past the window";
    ASSERT_TRUE(pumpUntil([&] {
        stalled.acceptOne();
        return link->streamCount() == 0 && stalled.peerGone();
    }));
}

// The client closes a stream whose back end does not read: the graceful
// close cannot flush, so it turns into an abort after its time limit.
TEST_F(RelayTest, AGracefulCloseTowardsABlockedBackEndEndsInAnAbort) {
    StalledServer stalled;
    ASSERT_TRUE(stalled.start());
    network->relay().addRoute(TARGET, 5009, false, stalled.address);
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 6, 5009));
    ASSERT_TRUE(pumpUntil([&] { return countKind(TunnelPacket::KIND_WINDOW, 6) == 1; }));
    // Send within the window until the switch stops granting: its writes to
    // the back end are stuck.
    Binary piece = pattern(16384, 2);
    int64_t window = 0;
    size_t seen = 0;
    auto lastGrant = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil(
        [&] {
            stalled.acceptOne();
            const auto& kept = link->kept();
            for (; seen < kept.size(); ++seen) {
                uint32_t grant = 0;
                TunnelPacket view = kept[seen].packet();
                if (view.kind() == TunnelPacket::KIND_WINDOW && view.windowGrant(&grant)) {
                    window += grant;
                    lastGrant = std::chrono::steady_clock::now();
                }
            }
            for (; window >= piece.length(); window -= piece.length())
                giveData(TunnelPacket::CLASS_TCP, 6, piece);
            return std::chrono::steady_clock::now() - lastGrant > std::chrono::milliseconds(300);
        },
        8000));
    give(TunnelPacket::buildClose(TunnelPacket::CLASS_TCP, 6));
    pumpUntil([] { return false; }, 100);
    EXPECT_EQ(1, link->streamCount()) << "closed before the time limit";
    kx::core::Clock::advance(lab::RelayStream::CLOSE_TIMEOUT_MS + 1);
    ASSERT_TRUE(pumpUntil([&] { return link->streamCount() == 0 && stalled.peerGone(); }));
    EXPECT_EQ(0, countKind(TunnelPacket::KIND_CLOSE, 6));
}

TEST_F(RelayTest, OpensBeyondTheStreamLimitOfATunnelAreRefused) {
    for (uint16_t id = 1; id <= TunnelLink::MAX_STREAMS; ++id)
        give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, id, ECHO_PORT));
    EXPECT_EQ(TunnelLink::MAX_STREAMS, link->streamCount());
    EXPECT_EQ(0, link->keptCount());
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 60000, ECHO_PORT));
    ASSERT_EQ(1, link->keptCount());
    uint8_t status = 9;
    EXPECT_TRUE(link->kept()[0].packet().openStatus(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, link->refusedOpens());
    // A session is counted apart from streams.
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 1, UDP_PORT));
    EXPECT_EQ(1, link->sessionCount());
}

// After the peer shuts its write side the echo still sends back everything.
TEST_F(RelayTest, TheEchoAnswersEverythingBeforeItClosesAfterAHalfClose) {
    kx::net::SocketAddress echo;
    ASSERT_TRUE(network->backendAddress(L"echo", &echo));
    kx::net::Socket client(kx::net::Socket::TYPE_TCP);
    ASSERT_TRUE(client.connect(echo));
    client.setBlocking(false);
    const Binary data = pattern(100000, 5);
    int32_t sent = 0;
    Binary back;
    bool eof = false;
    ASSERT_TRUE(pumpUntil([&] {
        if (sent < data.length()) {
            int rc = client.send(data.data() + sent, data.length() - sent);
            if (rc > 0) sent += rc;
            if (sent == data.length()) client.shutdown(kx::net::Socket::SHUT_SEND);
        }
        uint8_t buffer[65536];
        for (;;) {
            int rc = client.receive(buffer, sizeof(buffer));
            if (rc > 0) {
                back.append(buffer, rc);
                continue;
            }
            eof = rc == 0;
            break;
        }
        return eof;
    }));
    EXPECT_EQ(data.length(), back.length());
    EXPECT_EQ(data, back);
}

// Remote kinds relay to servers the lab does not run: here an echo and a
// UDP echo started apart from the lab's configuration.
TEST_F(RelayTest, RemoteBackEndsAreReachedAtTheirAddresses) {
    lab::TcpBackend echo(selector.get(), lab::TcpBackend::ECHO);
    lab::UdpEchoBackend udp(selector.get());
    String error;
    ASSERT_TRUE(echo.start(kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0), &error));
    ASSERT_TRUE(udp.start(kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), 0), &error));
    link.reset();
    network.reset(new lab::LabNetwork(selector.get()));
    lab::LabConfig config;
    ASSERT_TRUE(lab::LabConfig::fromJson(
        String(L"{\"switches\": [], \"backends\": ["
               L"{\"name\": \"t\", \"kind\": \"tcp_remote\", \"connect\": \"") +
            echo.address().toString() +
            L"\"}, {\"name\": \"u\", \"kind\": \"udp_remote\", \"connect\": \"" +
            udp.address().toString() +
            L"\"}], \"routes\": [{\"target_id\": 7, \"client_port\": 5001, \"backend\": \"t\"},"
            L"{\"target_id\": 7, \"client_port\": 5002, \"backend\": \"u\"}]}",
        &config, &error))
        << error.toStdString();
    ASSERT_TRUE(network->start(config, &error)) << error.toStdString();
    EXPECT_TRUE(network->describe()[0].startsWith(L"backend t (tcp_remote) at 127.0.0.1:"));
    link.reset(new TunnelLink(&network->relay(), TARGET, L"tunnel-1"));

    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 3, ECHO_PORT));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 3, 131072));
    giveData(TunnelPacket::CLASS_TCP, 3, pattern(5000, 9));
    give(TunnelPacket::buildOpen(TunnelPacket::CLASS_UDP, 4, UDP_PORT));
    give(TunnelPacket::buildWindow(TunnelPacket::CLASS_UDP, 4, 131072));
    giveData(TunnelPacket::CLASS_UDP, 4, Binary("datagram"));
    ASSERT_TRUE(
        pumpUntil([&] { return keptPayload(3).length() == 5000 && keptPayload(4).length() == 8; }));
    EXPECT_EQ(pattern(5000, 9), keptPayload(3));
    EXPECT_EQ(Binary("datagram"), keptPayload(4));
    EXPECT_EQ(5000, echo.bytesReceived());
    EXPECT_EQ(1, udp.datagrams());
}
