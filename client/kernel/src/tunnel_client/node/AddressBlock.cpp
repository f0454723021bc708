#include "tunnel_client/node/AddressBlock.h"

#include <cstring>

namespace tunnel {

bool AddressBlock::same(const kx::net::IpAddress& a, const kx::net::IpAddress& b) {
    if (a.family() != b.family()) return false;
    if (!a.isV6()) return (a.value() >> (32 - IPV4_PREFIX)) == (b.value() >> (32 - IPV4_PREFIX));
    static_assert(IPV6_PREFIX % 8 == 0, "whole bytes");
    return std::memcmp(a.bytes(), b.bytes(), IPV6_PREFIX / 8) == 0;
}

}  // namespace tunnel
