// Frame payloads from a node connection: the kind check and the message
// decoder take any bytes, and a decoded message re-encodes to a payload of
// the same kind that decodes to the same dictionary.
#include <cstdint>

#include "FuzzCheck.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"

using kx::core::Binary;
using kx::core::Dictionary;
using tunnel::ProtocolFrame;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Binary payload(data, static_cast<int32_t>(size));
    const uint8_t kind = ProtocolFrame::kindOf(payload);
    FUZZ_CHECK(kind == 0 || kind == tunnel::wire::FRAME_KIND_MESSAGE ||
               kind == tunnel::wire::FRAME_KIND_DATA);
    if (kind == 0) return 0;
    FUZZ_CHECK(size >= size_t(tunnel::wire::FRAME_PREFIX_SIZE));

    if (kind == tunnel::wire::FRAME_KIND_MESSAGE) {
        Dictionary<Binary> message;
        ProtocolFrame::decodeMessage(payload, &message);
        Binary again;
        ProtocolFrame::encodeMessage(message, &again);
        FUZZ_CHECK(ProtocolFrame::kindOf(again) == tunnel::wire::FRAME_KIND_MESSAGE);
        Dictionary<Binary> reread;
        ProtocolFrame::decodeMessage(again, &reread);
        FUZZ_CHECK(reread == message);
        return 0;
    }

    // Data: the rest is one tunnel packet; its views stay inside the bytes.
    const Binary packet(payload.data() + tunnel::wire::FRAME_PREFIX_SIZE,
                        payload.length() - tunnel::wire::FRAME_PREFIX_SIZE);
    Binary again;
    ProtocolFrame::encodeData(packet, &again);
    FUZZ_CHECK(again == payload);
    tunnel::TunnelPacket view(packet);
    const uint8_t* bytes = nullptr;
    int32_t length = 0;
    if (view.payload(&bytes, &length)) {
        FUZZ_CHECK(length >= 0 && bytes + length <= packet.data() + packet.length());
    }
    return 0;
}
