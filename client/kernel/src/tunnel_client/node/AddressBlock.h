#pragma once

#include "net/src/socket/IpAddress.h"

namespace tunnel {

// Relays in one address block are taken to share a provider and a fate: when
// one fails its neighbours are demoted with it. A block is a /16 for IPv4 and
// a /48 for IPv6 (the usual allocation to one site; a /64 is a single LAN, so
// hosts of one provider site would escape it). Addresses of different
// families are never neighbours.
class AddressBlock {
public:
    static constexpr int IPV4_PREFIX = 16;
    static constexpr int IPV6_PREFIX = 48;

    static bool same(const kx::net::IpAddress& a, const kx::net::IpAddress& b);
};

}  // namespace tunnel
