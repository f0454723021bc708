#include "tunnel_client/client/ProtocolChannel.h"

#include "tunnel_client/protocol/DictionaryCodec.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;

ProtocolChannel::ProtocolChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector)
    : SizeHeaderTcpSocketChannel(socket, selector, wire::STREAM_BUFFER_LIMIT,
                                 wire::STREAM_BUFFER_KEEP > STREAM_KEEP ? wire::STREAM_BUFFER_KEEP
                                                                        : STREAM_KEEP) {}

bool ProtocolChannel::sendMessage(const Dictionary<Binary>& message) {
    _beginFrame(wire::FRAME_KIND_MESSAGE);
    appendDictionary(message, &m_out);
    return _endFrame();
}

bool ProtocolChannel::sendData(const Binary& data) {
    // The packet is copied once, straight into the send queue behind its
    // size header and prefix.
    uint8_t head[HEADER_SIZE + wire::FRAME_PREFIX_SIZE];
    uint32_t size = static_cast<uint32_t>(sizeof(head)) + static_cast<uint32_t>(data.length());
    head[0] = static_cast<uint8_t>(size);
    head[1] = static_cast<uint8_t>(size >> 8);
    head[2] = static_cast<uint8_t>(size >> 16);
    head[3] = static_cast<uint8_t>(size >> 24);
    head[4] = wire::FRAME_VERSION;
    head[5] = wire::FRAME_KIND_DATA;
    return isOpen() && kx::net::TcpSocketChannel::send(head, sizeof(head), data);
}

// The whole frame (size header, prefix, body) is built in one buffer that
// the channel can take over without another copy.
void ProtocolChannel::_beginFrame(uint8_t kind) {
    m_out.clear();
    m_out.resize(HEADER_SIZE);
    m_out.append(wire::FRAME_VERSION);
    m_out.append(kind);
}

bool ProtocolChannel::_endFrame() {
    uint32_t size = static_cast<uint32_t>(m_out.length());
    uint8_t* header = m_out.data();
    header[0] = static_cast<uint8_t>(size);
    header[1] = static_cast<uint8_t>(size >> 8);
    header[2] = static_cast<uint8_t>(size >> 16);
    header[3] = static_cast<uint8_t>(size >> 24);
    bool ok = isOpen() && kx::net::TcpSocketChannel::send(std::move(m_out));
    m_out.clear();
    return ok;
}

void ProtocolChannel::_frame(const uint8_t* payload, int32_t length) {
    if (length < wire::FRAME_PREFIX_SIZE || payload[0] != wire::FRAME_VERSION) return;
    if (payload[1] == wire::FRAME_KIND_DATA) {
        // One copy out of the read buffer, into storage reused for every packet.
        int32_t size = length - wire::FRAME_PREFIX_SIZE;
        if (m_packet.capacity() > STREAM_KEEP && size <= STREAM_KEEP) m_packet.release();
        m_packet.clear();
        m_packet.append(payload + wire::FRAME_PREFIX_SIZE, size);
        if (onData) onData(m_packet);
    } else if (payload[1] == wire::FRAME_KIND_MESSAGE) {
        Binary frame(payload, length);
        Dictionary<Binary> message;
        ProtocolFrame::decodeMessage(frame, &message);
        if (!message.isEmpty() && onMessage) onMessage(message);
    }
}

}  // namespace tunnel
