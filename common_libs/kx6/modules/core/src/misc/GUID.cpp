#include "core/src/misc/GUID.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace kx {
namespace core {

GUID::GUID() : data1(0), data2(0), data3(0), data4{} {}

GUID GUID::create() {
    std::random_device rd;
    uint32_t w[4];
    for (uint32_t& v : w) v = rd();
    GUID g;
    g.data1 = w[0];
    g.data2 = static_cast<uint16_t>(w[1]);
    g.data3 = static_cast<uint16_t>(w[1] >> 16);
    memcpy(g.data4, &w[2], 8);
    return g;
}

String GUID::toString() const {
    char buf[40];
    snprintf(buf, sizeof buf, "%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", data1, data2, data3,
             data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return String::fromUtf8(buf);
}

bool GUID::operator==(const GUID& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
           memcmp(data4, other.data4, sizeof data4) == 0;
}

}  // namespace core
}  // namespace kx
