#include "net/src/socket/IpAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
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

}  // namespace

IpAddress IpAddress::fromText(const char* text) {
    if (!text) return IpAddress();
    in_addr_t addr = inet_addr(text);
    if (addr == INADDR_NONE) {
        return isCanonicalQuad(text) ? IpAddress(0xFFFFFFFFu) : IpAddress();
    }
    return IpAddress(ntohl(addr));
}

IpAddress IpAddress::fromText(const core::String& text) {
    return fromText(text.toStdString().c_str());
}

std::string IpAddress::toStdString() const {
    char buf[INET_ADDRSTRLEN + 1];
    std::snprintf(buf, sizeof(buf), "%u.%u.%u.%u", (m_value >> 24) & 0xFF, (m_value >> 16) & 0xFF,
                  (m_value >> 8) & 0xFF, m_value & 0xFF);
    return buf;
}

core::String IpAddress::toString() const {
    return core::String::fromUtf8(toStdString());
}

core::String IpAddress::hostName() const {
    if (m_value == 0 || m_value == 0xFFFFFFFFu) return core::String();
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(m_value);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof(sa), host, sizeof(host), nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return core::String();
    }
    return core::String::fromUtf8(host);
}

core::Array<IpAddress> IpAddress::lookupAll(const core::String& host) {
    core::Array<IpAddress> result;
    std::string name = host.toStdString();
    if (name.empty()) return result;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) return result;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
        const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        IpAddress ip(ntohl(sa->sin_addr.s_addr));
        // getaddrinfo repeats each address once per socket type; keep the first.
        bool seen = false;
        for (const IpAddress& known : result) seen = seen || known == ip;
        if (!seen) result.append(ip);
    }
    freeaddrinfo(list);
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

}  // namespace net
}  // namespace kx
