#pragma once

#include <cstdint>
#include <string>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"

namespace kx {
namespace net {

// IPv4 address as one 32-bit number in host byte order (the first dotted
// field is the most significant byte). 0 is the any (unset) address.
class IpAddress {
public:
    IpAddress() : m_value(0) {}
    explicit IpAddress(uint32_t value) : m_value(value) {}
    // Dotted quad; anything that is not one gives 0 (see fromText).
    explicit IpAddress(const core::String& text) : m_value(fromText(text).m_value) {}
    explicit IpAddress(const char* text) : m_value(fromText(text).m_value) {}

    // inet_addr rules. Its failure value doubles as the broadcast address, so
    // 255.255.255.255 is accepted only when the text is exactly that quad.
    static IpAddress fromText(const core::String& text);
    static IpAddress fromText(const char* text);

    uint32_t value() const { return m_value; }
    bool isAny() const { return m_value == 0; }
    bool isBroadcast() const { return m_value == 0xFFFFFFFFu; }

    core::String toString() const;  // a.b.c.d
    std::string toStdString() const;

    // Reverse lookup (name required); empty for 0, broadcast or failure.
    core::String hostName() const;

    // Forward lookup, IPv4 only, resolver order. A dotted quad resolves to itself.
    static core::Array<IpAddress> lookupAll(const core::String& host);
    // The first result of lookupAll, 0 when there is none.
    static IpAddress lookup(const core::String& host);
    // gethostname, empty on failure.
    static core::String localHostName();

    bool operator==(const IpAddress& o) const { return m_value == o.m_value; }
    bool operator!=(const IpAddress& o) const { return m_value != o.m_value; }
    bool operator<(const IpAddress& o) const { return m_value < o.m_value; }

private:
    uint32_t m_value;
};

}  // namespace net
}  // namespace kx
