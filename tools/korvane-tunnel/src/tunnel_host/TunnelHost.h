#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/src/time/Timer.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_host/TargetConfig.h"
#include "tunnel_launcher/StatusBoard.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class TunnelClient;

// Runs one tunnel client per target record on one worker loop, without the
// control API: select(100), then a tick of every client, for ever. Owns the
// selector and the clients; the clients go first.
class TunnelHost {
public:
    static constexpr int32_t SELECT_TIMEOUT_MS = 100;
    static constexpr int32_t SELECTOR_TICK_MS = 1000;
    static constexpr int32_t STATUS_INTERVAL_MS = 1000;

    explicit TunnelHost(kx::util::ILogRecorder* logger);
    ~TunnelHost();
    TunnelHost(const TunnelHost&) = delete;
    TunnelHost& operator=(const TunnelHost&) = delete;

    // One client per target with its nodes and forwards; bad node and forward
    // records are logged and skipped. False (with errorText) when no client
    // was made or the host already started.
    bool start(const TargetConfig& config);
    // One worker round: select, tick every client, status lines when due.
    void round();
    // Rounds until stop reads true or durationMs have passed (negative: no limit).
    void run(const std::atomic<bool>& stop, int32_t durationMs);

    // The current status line of every target, with rates since the previous
    // call (or since start()).
    kx::core::Array<kx::core::String> takeStatus();

    int32_t clientCount() const { return static_cast<int32_t>(m_clients.size()); }
    TunnelClient* client(int32_t index) const { return m_clients.at(index).get(); }
    StatusBoard& statusBoard() { return m_status; }
    kx::net::SocketEventSelector* selector() const { return m_selector.get(); }
    const kx::core::String& errorText() const { return m_errorText; }

    // Every STATUS_INTERVAL_MS, one call per target.
    std::function<void(const kx::core::String&)> onStatus;
    // After every round; peers that share the selector tick here.
    std::function<void()> onRound;

private:
    kx::util::ILogRecorder* m_logger;
    std::unique_ptr<kx::net::SocketEventSelector> m_selector;
    std::vector<std::unique_ptr<TunnelClient>> m_clients;
    StatusBoard m_status;
    kx::core::String m_errorText;
    bool m_started = false;
    kx::core::Timer m_statusTimer;
};

}  // namespace tunnel
