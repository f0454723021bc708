#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/src/time/Timer.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_client/client/Error.h"
#include "tunnel_client/client/LoginInfo.h"

namespace tunnel {

class ITunnelContext;
class Node;
class NodeSelector;

// Starts and drives node selections for one tunnel client, and remembers
// switches that failed recently: for five minutes every node in the same /16
// is only a last-resort candidate, and the failed switch itself comes after
// every other measured candidate of its pass. Worker thread only; the
// callbacks run inside the selector's tick, called from this service's tick.
class NodeSelectService {
public:
    static constexpr int BACKUP_PERIOD_MS = 300000;

    struct BackupNode {
        kx::net::SocketAddress address;
        kx::core::Timer timer;
    };

    typedef std::function<void(Node*)> OkCallback;
    typedef std::function<void(const Error&)> FailCallback;

    explicit NodeSelectService(ITunnelContext* context);
    virtual ~NodeSelectService();
    NodeSelectService(const NodeSelectService&) = delete;
    NodeSelectService& operator=(const NodeSelectService&) = delete;

    // False (nothing changed) while a selection is still set.
    bool select(const LoginInfo& loginInfo, int64_t targetId, const kx::core::String& natId,
                bool bandwidthIsHigh, OkCallback onOk, FailCallback onFail);
    bool isSelecting() const { return m_nodeSelector != nullptr; }
    void addBackupNode(const kx::net::SocketAddress& address);
    const kx::core::Array<BackupNode>& backups() const { return m_backups; }
    // True while a failure record younger than five minutes covers the
    // address's /16, i.e. the next selection would race it only as a backup.
    bool isDemoted(const kx::net::SocketAddress& address) const;
    void tick();
    // The latency the last selection measured for its winner, in milliseconds;
    // -1 when the address is not that winner.
    int selectedLatency(const kx::net::SocketAddress& address) const;

private:
    bool _isBackup(const kx::net::SocketAddress& address) const;

    ITunnelContext* m_context;
    kx::core::Array<BackupNode> m_backups;
    std::unique_ptr<NodeSelector> m_nodeSelector;
    OkCallback m_onOk;
    FailCallback m_onFail;
    kx::net::SocketAddress m_selectedAddress;
    int m_selectedLatency = -1;
};

}  // namespace tunnel
