#pragma once

#include <cstdint>
#include <string>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"

namespace kx {
namespace net {

// IPv4 or IPv6 address. An IPv4 address is one 32-bit number in host byte
// order (the first dotted field is the most significant byte); 0 is the any
// (unset) address. An IPv6 address is 16 bytes in network order plus a scope
// (interface index), which only link-local addresses carry. IPv4-mapped IPv6
// addresses (::ffff:a.b.c.d) are held as the IPv4 address they map.
class IpAddress {
public:
    enum Family { V4 = 4, V6 = 6 };

    IpAddress() : m_family(V4), m_value(0), m_bytes{}, m_scope(0) {}
    explicit IpAddress(uint32_t value) : m_family(V4), m_value(value), m_bytes{}, m_scope(0) {}
    // Dotted quad or IPv6 text; anything else gives 0 (see fromText).
    explicit IpAddress(const core::String& text) : IpAddress(fromText(text)) {}
    explicit IpAddress(const char* text) : IpAddress(fromText(text)) {}

    // 0.0.0.0 or ::.
    static IpAddress any(Family family);
    // 16 bytes in network order; a mapped IPv4 address becomes that IPv4 address.
    static IpAddress fromBytes(const uint8_t* bytes, uint32_t scope = 0);

    // Text without a colon follows the inet_addr rules. Its failure value
    // doubles as the broadcast address, so 255.255.255.255 is accepted only
    // when the text is exactly that quad. Text with a colon is IPv6 (no
    // brackets); a zone ("%eth0" or "%2") is kept on a link-local address
    // whose interface exists and refused anywhere else.
    static IpAddress fromText(const core::String& text);
    static IpAddress fromText(const char* text);

    Family family() const { return m_family; }
    bool isV6() const { return m_family == V6; }
    // The IPv4 number; 0 for an IPv6 address.
    uint32_t value() const { return m_value; }
    // The IPv6 bytes (all zero for an IPv4 address).
    const uint8_t* bytes() const { return m_bytes; }
    uint32_t scope() const { return m_scope; }
    // 0.0.0.0 or ::.
    bool isAny() const;
    bool isBroadcast() const { return m_family == V4 && m_value == 0xFFFFFFFFu; }
    // 127.0.0.0/8 or ::1.
    bool isLoopback() const;

    core::String toString() const;  // a.b.c.d, or the compressed IPv6 form (zone appended)
    std::string toStdString() const;

    // Reverse lookup (name required); empty for 0, ::, broadcast or failure.
    core::String hostName() const;

    // Forward lookup, IPv4 only, resolver order. A dotted quad resolves to itself.
    static core::Array<IpAddress> lookupAll(const core::String& host);
    // Forward lookup of both families in the resolver's order (which prefers
    // the family that can reach the net). On an IPv6-only network a resolver
    // with NAT64 support returns a synthesised IPv6 address for an IPv4 name
    // or literal.
    static core::Array<IpAddress> lookupAllFamilies(const core::String& host);
    // The first result of lookupAll, 0 when there is none.
    static IpAddress lookup(const core::String& host);
    // gethostname, empty on failure.
    static core::String localHostName();

    bool operator==(const IpAddress& o) const;
    bool operator!=(const IpAddress& o) const { return !(*this == o); }
    // IPv4 addresses sort before IPv6 ones.
    bool operator<(const IpAddress& o) const;

private:
    Family m_family;
    uint32_t m_value;
    uint8_t m_bytes[16];
    uint32_t m_scope;
};

}  // namespace net
}  // namespace kx
