#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/src/value/Binary.h"
#include "downstream/FakeUpstream.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/forward/DownstreamTunnel.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {
namespace testing {

// Runs selector rounds until cond holds or ms pass.
inline bool pumpUntil(kx::net::SocketEventSelector& selector, const std::function<bool()>& cond,
                      int ms = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        selector.select(5);
    }
    return true;
}

inline void pumpFor(kx::net::SocketEventSelector& selector, int ms) {
    pumpUntil(
        selector, [] { return false; }, ms);
}

// The switch's side of the packet layer: numbers what it sends to the tunnel
// and reads what the tunnel sent through the fake upstream.
class FakeSwitch {
public:
    explicit FakeSwitch(DownstreamTunnel* tunnel) : m_tunnel(tunnel) {}

    uint32_t nextSequence() const { return m_sequence; }
    void deliver(kx::core::Binary packet) {
        TunnelPacket::writeSequence(packet, m_sequence++);
        m_tunnel->receive(packet);
    }
    // Acknowledgements carry the number they acknowledge, not one of their own.
    void ack(uint32_t sequence) { m_tunnel->receive(TunnelPacket::buildAck(sequence)); }
    void openResult(uint8_t cls, uint16_t id, uint8_t status) {
        deliver(TunnelPacket::buildOpenResult(cls, id, status));
    }
    void data(uint8_t cls, uint16_t id, const kx::core::Binary& payload) {
        kx::core::Binary packet;
        TunnelPacket::buildData(&packet, cls, id, payload.data(), payload.length());
        deliver(packet);
    }
    void window(uint8_t cls, uint16_t id, uint32_t granted) {
        deliver(TunnelPacket::buildWindow(cls, id, granted));
    }

    // Packets of the tunnel (acknowledgements left out) of one class and kind.
    std::vector<kx::core::Binary> sent(uint8_t cls, uint8_t kind) const {
        std::vector<kx::core::Binary> out;
        for (const auto& p : upstream.packets) {
            TunnelPacket view(p);
            if (view.packetClass() == cls && view.kind() == kind) out.push_back(p);
        }
        return out;
    }
    // Concatenated plain payloads of the data packets of one channel.
    std::string dataOf(uint8_t cls, uint16_t id) const {
        std::string out;
        for (const auto& p : sent(cls, TunnelPacket::KIND_DATA)) {
            TunnelPacket view(p);
            const uint8_t* data;
            int32_t n;
            if (view.channel() == id && view.payload(&data, &n))
                out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
        }
        return out;
    }

    FakeUpstream upstream;

private:
    DownstreamTunnel* m_tunnel;
    uint32_t m_sequence = 0;
};

// A non-blocking client socket for the application's side.
class TestClient {
public:
    explicit TestClient(const kx::net::SocketAddress& to) : socket(kx::net::Socket::TYPE_TCP) {
        connected = socket.connect(to);
        socket.setBlocking(false);
    }
    bool write(const std::string& text) {
        kx::core::Binary data = kx::core::Binary::fromStdString(text);
        int32_t done = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (done < data.length() && std::chrono::steady_clock::now() < end) {
            int n = socket.send(data, done, data.length() - done);
            if (n > 0) done += n;
        }
        return done == data.length();
    }
    // Reads what is there now; false once the peer closed or reset.
    bool poll() {
        char buffer[8192];
        for (;;) {
            int n = socket.receive(buffer, sizeof(buffer));
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || !kx::net::Socket::lastErrorWouldBlock()) closed = true;
            return !closed;
        }
    }

    kx::net::Socket socket;
    bool connected = false;
    bool closed = false;
    std::string received;
};

}  // namespace testing
}  // namespace tunnel
