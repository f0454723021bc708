#include "tunnel_client/protocol/ProtocolFrame.h"

#include "tunnel_client/protocol/DictionaryCodec.h"
#include "tunnel_client/protocol/ProtocolWire.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::Dictionary;

uint8_t ProtocolFrame::kindOf(const Binary& payload) {
    if (payload.length() < wire::FRAME_PREFIX_SIZE) return 0;
    const uint8_t* p = payload.data();
    if (p[0] != wire::FRAME_VERSION) return 0;
    if (p[1] != wire::FRAME_KIND_MESSAGE && p[1] != wire::FRAME_KIND_DATA) return 0;
    return p[1];
}

void ProtocolFrame::encodeMessage(const Dictionary<Binary>& message, Binary* out) {
    if (!out) return;
    out->clear();
    out->append(wire::FRAME_VERSION);
    out->append(wire::FRAME_KIND_MESSAGE);
    appendDictionary(message, out);
}

void ProtocolFrame::encodeData(const Binary& data, Binary* out) {
    if (!out) return;
    out->clear();
    out->reserve(wire::FRAME_PREFIX_SIZE + data.length());
    out->append(wire::FRAME_VERSION);
    out->append(wire::FRAME_KIND_DATA);
    out->append(data);
}

void ProtocolFrame::decodeMessage(const Binary& payload, Dictionary<Binary>* out) {
    if (!out) return;
    if (payload.length() < wire::FRAME_PREFIX_SIZE) {
        out->clear();
        return;
    }
    decodeDictionary(payload.data() + wire::FRAME_PREFIX_SIZE,
                     payload.length() - wire::FRAME_PREFIX_SIZE, out);
}

}  // namespace tunnel
