#pragma once

#include <cstdint>
#include <memory>

#include "core/src/value/String.h"
#include "tunnel_client/client/LoginInfo.h"
#include "tunnel_launcher/TargetRecord.h"

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

// Turns one target record into a tunnel client with its nodes and forwards,
// writing the launcher's log line for every node, every forward port and the
// client itself. Bad node and forward records are logged and skipped.
//
// Addresses that would reach the wrong place are refused rather than used as
// read: a client_ip that is no dotted quad listens on loopback instead of every
// interface, a standby or node address 0 would dial this machine, and a node
// port outside 1..65535 would be cut to some other port.
class TargetClientBuilder {
public:
    TargetClientBuilder(kx::util::ILogRecorder* logger, kx::net::SocketEventSelector* selector,
                        const LoginInfo& loginInfo, const kx::core::String& natText,
                        bool fastTick);

    // index: the number of clients built before this one (for the log line).
    std::unique_ptr<TunnelClient> build(const TargetRecord& record, int32_t index) const;

private:
    void _addNodes(TunnelClient* client, const TargetRecord& record) const;
    void _addForwards(TunnelClient* client, const TargetRecord& record,
                      const kx::core::String& clientIpText) const;

    kx::util::ILogRecorder* m_logger;
    kx::net::SocketEventSelector* m_selector;
    LoginInfo m_loginInfo;
    kx::core::String m_natText;
    bool m_fastTick;
};

}  // namespace tunnel
