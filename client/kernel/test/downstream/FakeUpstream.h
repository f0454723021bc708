#pragma once

#include <vector>

#include "core/src/value/Binary.h"
#include "tunnel_client/client/IUpstream.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {
namespace testing {

// Captures every packet handed to the switch.
class FakeUpstream : public IUpstream {
public:
    void send(const kx::core::Binary& packet) override { packets.push_back(packet); }

    std::vector<kx::core::Binary> acks() const {
        std::vector<kx::core::Binary> out;
        for (const auto& p : packets) {
            if (TunnelPacket(p).isAck()) out.push_back(p);
        }
        return out;
    }
    std::vector<kx::core::Binary> nonAcks() const {
        std::vector<kx::core::Binary> out;
        for (const auto& p : packets) {
            if (!TunnelPacket(p).isAck()) out.push_back(p);
        }
        return out;
    }

    std::vector<kx::core::Binary> packets;
};

}  // namespace testing
}  // namespace tunnel
