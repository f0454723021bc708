#pragma once

#include <cstdint>
#include <functional>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "net/src/channel/SizeHeaderTcpSocketChannel.h"

namespace tunnel {

// A node connection: size-header frames whose payload is either a message
// (an encoded dictionary) or tunnel data. Malformed frames and messages
// without any entry are dropped unseen.
class ProtocolChannel : public kx::net::SizeHeaderTcpSocketChannel {
public:
    std::function<void(kx::core::Dictionary<kx::core::Binary>&)> onMessage;
    std::function<void(kx::core::Binary&)> onData;  // the packet, prefix removed

    ProtocolChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector);

    bool sendMessage(const kx::core::Dictionary<kx::core::Binary>& message);
    bool sendData(const kx::core::Binary& data);

protected:
    void _frame(const uint8_t* payload, int32_t length) override;

private:
    static constexpr int32_t HEADER_SIZE = 4;
    // Frame storage kept between reads: a partial data frame waits there.
    static constexpr int32_t STREAM_KEEP = 65536;

    void _beginFrame(uint8_t kind);
    bool _endFrame();

    kx::core::Binary m_out;     // the outgoing frame, reused
    kx::core::Binary m_packet;  // the incoming packet, reused
};

}  // namespace tunnel
