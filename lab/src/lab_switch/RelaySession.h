#pragma once

#include <cstdint>
#include <memory>

#include "core/src/value/Binary.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/protocol/DatagramQueue.h"
#include "tunnel_client/protocol/FlowWindow.h"
#include "tunnel_client/protocol/WindowTuner.h"

namespace kx {
namespace net {
class UdpSocketChannel;
}  // namespace net
}  // namespace kx

namespace tunnel {
class TunnelPacket;
}  // namespace tunnel

namespace lab {

class TunnelLink;

// One UDP session of a tunnel: a socket of its own towards the back end, so
// that replies find their session. Datagrams from the back end travel only
// within the client's window; beyond it they wait a little for the next grant
// (DatagramQueue) and are then dropped, as UDP may be. The
// client's datagrams must stay within the window granted to it, which grows
// while the back end takes them (WindowTuner); beyond it the session is over.
// Owned by its TunnelLink, deleted from its tick once finished.
class RelaySession {
public:
    static constexpr int32_t IDLE_TIMEOUT_MS = 120000;

    RelaySession(TunnelLink* link, uint16_t id, const kx::net::SocketAddress& backend,
                 kx::net::SocketEventSelector* selector);
    ~RelaySession();
    RelaySession(const RelaySession&) = delete;
    RelaySession& operator=(const RelaySession&) = delete;

    void onPacket(const tunnel::TunnelPacket& packet);
    // Idle check: a session quiet for two minutes is closed towards the client.
    void tick();
    bool isFinished() const { return m_finished; }
    int64_t droppedDatagrams() const { return m_dropped + m_waiting.dropped(); }
    bool violated() const { return m_violated; }
    int64_t clientWindow() const { return m_tuner.target(); }

private:
    void _onDatagram(kx::core::Binary& data, const kx::net::SocketAddress& from);
    void _onSent(int bytes);
    bool _forward(kx::core::Binary& data);
    void _flush();
    void _finish(bool tellClient);

    TunnelLink* m_link;
    uint16_t m_id;
    kx::net::SocketAddress m_backend;
    std::unique_ptr<kx::net::UdpSocketChannel> m_channel;
    bool m_finished = false;
    int64_t m_window = 0;
    int64_t m_dropped = 0;
    tunnel::FlowWindow m_clientWindow;  // the first grant counts from the open
    tunnel::WindowTuner m_tuner;
    tunnel::DatagramQueue m_waiting;  // from the back end, beyond the client's window
    bool m_violated = false;
    kx::core::Binary m_plain;
};

}  // namespace lab
