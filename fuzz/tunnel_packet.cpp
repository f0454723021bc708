// Tunnel packets from a switch, driven through the reliable packet layer: an
// input is a script of packets received, packets sent and ticks. Delivery
// must be strictly in order, acknowledgements may only free packets that were
// sent and not yet freed, and every accessor of a packet view stays inside it.
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/value/Binary.h"
#include "tunnel_client/client/IUpstream.h"
#include "tunnel_client/forward/DownstreamTunnel.h"
#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using tunnel::TunnelPacket;

namespace {

class RecordingUpstream : public tunnel::IUpstream {
public:
    void send(const Binary& packet) override { sent.push_back(packet); }
    std::vector<Binary> sent;
};

class ScriptedTunnel : public tunnel::DownstreamTunnel {
public:
    explicit ScriptedTunnel(int32_t capacity) : DownstreamTunnel(capacity) {}
    std::vector<uint32_t> delivered;

protected:
    void onData(const Binary& packet) override { delivered.push_back(TunnelPacket(packet).sequence()); }
};

void checkView(const Binary& bytes) {
    TunnelPacket view(bytes);
    FUZZ_CHECK(view.isValid() == (bytes.length() >= TunnelPacket::HEADER_SIZE));
    uint16_t port = 0;
    uint8_t status = 0;
    uint32_t granted = 0;
    FUZZ_CHECK(view.openPort(&port) == (bytes.length() >= TunnelPacket::CHANNEL_HEADER_SIZE + 2));
    FUZZ_CHECK(view.openStatus(&status) == (bytes.length() >= TunnelPacket::CHANNEL_HEADER_SIZE + 1));
    FUZZ_CHECK(view.windowGrant(&granted) == (bytes.length() >= TunnelPacket::CHANNEL_HEADER_SIZE + 4));
    const uint8_t* payload = nullptr;
    int32_t length = -1;
    if (view.payload(&payload, &length)) {
        FUZZ_CHECK(length >= 0 && payload == bytes.data() + TunnelPacket::DATA_HEADER_SIZE);
        FUZZ_CHECK(TunnelPacket::DATA_HEADER_SIZE + length <= bytes.length());
        if (length > 0) {
            volatile uint8_t last = payload[length - 1];
            (void)last;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    ScriptedTunnel tunnel(1 + in.byte() * 64);
    RecordingUpstream upstream;
    tunnel.setUpstream(&upstream);
    FUZZ_CHECK(tunnel.open());

    uint32_t oldest = 0;  // our model of the oldest kept sequence number
    uint32_t expectedNext = 0;
    for (int steps = 0; in.remaining() > 0 && steps < 256; ++steps) {
        const uint8_t op = in.byte();
        switch (op % 5) {
            case 0: {  // raw bytes from the switch
                Binary packet = in.piece();
                checkView(packet);
                const size_t before = tunnel.delivered.size();
                tunnel.receive(packet);
                TunnelPacket view(packet);
                const bool inOrder = view.isValid() && !view.isAck() && view.sequence() == expectedNext;
                FUZZ_CHECK(tunnel.delivered.size() == before + (inOrder ? 1 : 0));
                if (inOrder) ++expectedNext;
                if (view.isAck()) {
                    const uint32_t count = tunnel.nextSendSequence() - oldest;
                    const uint32_t offset = view.sequence() - oldest;
                    if (count > 0 && offset < count) oldest = view.sequence() + 1;
                }
                break;
            }
            case 1: {  // the next packet in order, so scripts get past sequence 0
                Binary packet;
                Binary body = in.piece();
                FUZZ_CHECK(TunnelPacket::buildData(&packet, TunnelPacket::CLASS_TCP, 1, body.data(),
                                                   body.length()));
                TunnelPacket::writeSequence(packet, expectedNext);
                tunnel.receive(packet);
                FUZZ_CHECK(tunnel.delivered.size() > 0 && tunnel.delivered.back() == expectedNext);
                ++expectedNext;
                break;
            }
            case 2: {  // an acknowledgement near the send window
                const uint32_t ack = tunnel.nextSendSequence() - static_cast<uint32_t>(in.byte() % 8) +
                                     static_cast<uint32_t>(in.byte() % 3);
                const uint32_t count = tunnel.nextSendSequence() - oldest;
                tunnel.receive(TunnelPacket::buildAck(ack));
                if (count > 0 && ack - oldest < count) oldest = ack + 1;
                break;
            }
            case 3: {  // a packet of ours
                Binary packet = TunnelPacket::buildClose(TunnelPacket::CLASS_TCP, in.byte());
                const uint32_t sequence = tunnel.nextSendSequence();
                if (tunnel.send(packet)) {
                    FUZZ_CHECK(TunnelPacket(upstream.sent.back()).sequence() == sequence);
                } else {
                    FUZZ_CHECK(tunnel.nextSendSequence() == sequence);
                }
                break;
            }
            default:
                tunnel.tick();
                break;
        }
        FUZZ_CHECK(tunnel.receiveSequence() == expectedNext);
        FUZZ_CHECK(uint32_t(tunnel.backups().count()) == tunnel.nextSendSequence() - oldest);
        if (!tunnel.backups().isEmpty()) FUZZ_CHECK(tunnel.backups().front().sequence() == oldest);
    }
    // Our acknowledgements name the last packet received in order.
    for (const Binary& packet : upstream.sent) {
        TunnelPacket view(packet);
        if (view.isAck()) FUZZ_CHECK(TunnelPacket::sequenceDistance(view.sequence(), expectedNext) >= 1);
    }
    return 0;
}
