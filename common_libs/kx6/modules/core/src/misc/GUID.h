#pragma once

#include <cstdint>

#include "core/src/value/String.h"

namespace kx {
namespace core {

// 128-bit identifier. create() fills it from the system's random source.
class GUID {
public:
    GUID();
    static GUID create();

    // 32 lower-case hex digits, no separators: "%08x%04x%04x" then eight "%02x".
    String toString() const;

    bool operator==(const GUID& other) const;
    bool operator!=(const GUID& other) const { return !(*this == other); }

    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

}  // namespace core
}  // namespace kx
