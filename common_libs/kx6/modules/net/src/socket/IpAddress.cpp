#include "net/src/socket/IpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kx {
namespace net {

namespace {

// True only for exactly four decimal fields 0..255 that read back as the
// same text (no leading zeros, signs or spaces).
bool isCanonicalQuad(const char* text) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text, "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    char canonical[32];
    std::snprintf(canonical, sizeof(canonical), "%u.%u.%u.%u", a, b, c, d);
    return std::strcmp(canonical, text) == 0;
}

bool isLinkLocal(const uint8_t* b) {
    return b[0] == 0xFE && (b[1] & 0xC0) == 0x80;
}

// A zone names an interface or gives its index; 0 when neither works.
uint32_t zoneIndex(const char* zone) {
    if (!*zone) return 0;
    char* end = nullptr;
    unsigned long number = std::strtoul(zone, &end, 10);
    if (*zone >= '0' && *zone <= '9') return (*end == 0 && number <= 0xFFFFFFFFul) ? uint32_t(number) : 0;
    return if_nametoindex(zone);
}

IpAddress fromText6(const char* text) {
    const char* percent = std::strchr(text, '%');
    std::string head = percent ? std::string(text, percent) : std::string(text);
    in6_addr addr;
    if (inet_pton(AF_INET6, head.c_str(), &addr) != 1) return IpAddress();
    uint32_t scope = 0;
    if (percent) {
        // A zone only means something on a link-local address.
        if (!isLinkLocal(addr.s6_addr)) return IpAddress();
        scope = zoneIndex(percent + 1);
        if (scope == 0) return IpAddress();
    }
    return IpAddress::fromBytes(addr.s6_addr, scope);
}

const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

IpAddress IpAddress::any(Family family) {
    IpAddress ip;
    ip.m_family = family;
    return ip;
}

IpAddress IpAddress::fromBytes(const uint8_t* bytes, uint32_t scope) {
    if (!bytes) return IpAddress();
    if (std::memcmp(bytes, MAPPED_PREFIX, sizeof(MAPPED_PREFIX)) == 0) {
        return IpAddress(uint32_t(bytes[12]) << 24 | uint32_t(bytes[13]) << 16 | uint32_t(bytes[14]) << 8 |
                         uint32_t(bytes[15]));
    }
    IpAddress ip;
    ip.m_family = V6;
    std::memcpy(ip.m_bytes, bytes, 16);
    ip.m_scope = isLinkLocal(bytes) ? scope : 0;
    return ip;
}

IpAddress IpAddress::fromText(const char* text) {
    if (!text) return IpAddress();
    if (std::strchr(text, ':')) return fromText6(text);
    in_addr_t addr = inet_addr(text);
    if (addr == INADDR_NONE) {
        return isCanonicalQuad(text) ? IpAddress(0xFFFFFFFFu) : IpAddress();
    }
    return IpAddress(ntohl(addr));
}

IpAddress IpAddress::fromText(const core::String& text) {
    return fromText(text.toStdString().c_str());
}

bool IpAddress::isAny() const {
    if (m_family == V4) return m_value == 0;
    for (uint8_t b : m_bytes) {
        if (b) return false;
    }
    return true;
}

bool IpAddress::isLoopback() const {
    if (m_family == V4) return (m_value >> 24) == 127;
    static const uint8_t LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(m_bytes, LOOPBACK, 16) == 0;
}

std::string IpAddress::toStdString() const {
    if (m_family == V6) {
        char buf[INET6_ADDRSTRLEN + IF_NAMESIZE + 2];
        if (!inet_ntop(AF_INET6, m_bytes, buf, INET6_ADDRSTRLEN)) return std::string();
        std::string out = buf;
        if (m_scope != 0) {
            char name[IF_NAMESIZE];
            out += '%';
            out += if_indextoname(m_scope, name) ? std::string(name) : std::to_string(m_scope);
        }
        return out;
    }
    char buf[INET_ADDRSTRLEN + 1];
    std::snprintf(buf, sizeof(buf), "%u.%u.%u.%u", (m_value >> 24) & 0xFF, (m_value >> 16) & 0xFF,
                  (m_value >> 8) & 0xFF, m_value & 0xFF);
    return buf;
}

core::String IpAddress::toString() const {
    return core::String::fromUtf8(toStdString());
}

core::String IpAddress::hostName() const {
    if (isAny() || isBroadcast()) return core::String();
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof(storage));
    socklen_t length;
    if (m_family == V6) {
        sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        std::memcpy(sa->sin6_addr.s6_addr, m_bytes, 16);
        sa->sin6_scope_id = m_scope;
        length = sizeof(*sa);
    } else {
        sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        sa->sin_addr.s_addr = htonl(m_value);
        length = sizeof(*sa);
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof(host), nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return core::String();
    }
    return core::String::fromUtf8(host);
}

namespace {

core::Array<IpAddress> resolve(const core::String& host, int family, int flags) {
    core::Array<IpAddress> result;
    std::string name = host.toStdString();
    if (name.empty()) return result;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) return result;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (!ai->ai_addr) continue;
        IpAddress ip;
        if (ai->ai_family == AF_INET && (family == AF_INET || family == AF_UNSPEC)) {
            ip = IpAddress(ntohl(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr));
        } else if (ai->ai_family == AF_INET6 && family == AF_UNSPEC) {
            const sockaddr_in6* sa = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
            ip = IpAddress::fromBytes(sa->sin6_addr.s6_addr, sa->sin6_scope_id);
        } else {
            continue;
        }
        // getaddrinfo repeats each address once per socket type; keep the first.
        bool seen = false;
        for (const IpAddress& known : result) seen = seen || known == ip;
        if (!seen) result.append(ip);
    }
    freeaddrinfo(list);
    return result;
}

}  // namespace

core::Array<IpAddress> IpAddress::lookupAll(const core::String& host) {
    return resolve(host, AF_INET, 0);
}

core::Array<IpAddress> IpAddress::lookupAllFamilies(const core::String& host) {
    // Without AI_ADDRCONFIG a host with no IPv6 route would be handed IPv6
    // addresses it cannot reach (and the reverse). It also hides everything on
    // a host whose only addresses are on loopback: ask again without it then.
    core::Array<IpAddress> result = resolve(host, AF_UNSPEC, AI_ADDRCONFIG);
    if (result.isEmpty()) result = resolve(host, AF_UNSPEC, 0);
    return result;
}

IpAddress IpAddress::lookup(const core::String& host) {
    core::Array<IpAddress> all = lookupAll(host);
    return all.isEmpty() ? IpAddress() : all[0];
}

core::String IpAddress::localHostName() {
    char name[256];
    if (gethostname(name, 255) != 0) return core::String();
    name[255] = 0;
    return core::String::fromUtf8(name);
}

bool IpAddress::operator==(const IpAddress& o) const {
    if (m_family != o.m_family) return false;
    if (m_family == V4) return m_value == o.m_value;
    return m_scope == o.m_scope && std::memcmp(m_bytes, o.m_bytes, 16) == 0;
}

bool IpAddress::operator<(const IpAddress& o) const {
    if (m_family != o.m_family) return m_family == V4;
    if (m_family == V4) return m_value < o.m_value;
    int c = std::memcmp(m_bytes, o.m_bytes, 16);
    return c != 0 ? c < 0 : m_scope < o.m_scope;
}

}  // namespace net
}  // namespace kx
