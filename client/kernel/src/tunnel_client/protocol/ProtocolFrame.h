#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"

namespace tunnel {

// The payload of one size-header frame on a node connection: 0x01, a kind
// byte, then an encoded dictionary (message) or tunnel packet bytes (data).
class ProtocolFrame {
public:
    // The kind of a received payload: FRAME_KIND_MESSAGE, FRAME_KIND_DATA,
    // or 0 for anything that must be dropped (too short, other version or kind).
    static uint8_t kindOf(const kx::core::Binary& payload);

    static void encodeMessage(const kx::core::Dictionary<kx::core::Binary>& message,
                              kx::core::Binary* out);
    static void encodeData(const kx::core::Binary& data, kx::core::Binary* out);

    // Decodes the dictionary of a message payload (prefix skipped).
    static void decodeMessage(const kx::core::Binary& payload,
                              kx::core::Dictionary<kx::core::Binary>* out);
};

}  // namespace tunnel
