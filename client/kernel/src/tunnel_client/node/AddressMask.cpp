#include "tunnel_client/node/AddressMask.h"

#include <cstdio>
#include <string>

#include "core/src/value/Array.h"

namespace tunnel {

using kx::core::String;

String AddressMask::mask(const kx::net::SocketAddress& address) {
    if (address.ip.isV6()) return L"[" + mask(address.ip) + L"]:" + String::fromInt32(address.port);
    return mask(address.toString());
}

String AddressMask::mask(const kx::net::IpAddress& address) {
    if (!address.isV6()) return mask(address.toString());
    const uint8_t* b = address.bytes();
    char first[8], last[8];
    std::snprintf(first, sizeof(first), "%x", unsigned(b[0]) << 8 | b[1]);
    std::snprintf(last, sizeof(last), "%x", unsigned(b[14]) << 8 | b[15]);
    return String::fromUtf8(std::string(first) + ":*:" + last);
}

String AddressMask::mask(const String& text) {
    if (text.indexOf(L'[') == 0) {
        kx::net::SocketAddress address;
        if (kx::net::SocketAddress::fromText(text, &address)) return mask(address);
        return L"[*]";  // never print an unparsed address whole
    }
    kx::core::Array<String> pieces;
    int32_t start = 0;
    for (;;) {
        int32_t dot = text.indexOf(L'.', start);
        if (dot < 0) {
            pieces.append(text.substring(start));
            break;
        }
        pieces.append(text.substring(start, dot - start));
        start = dot + 1;
    }
    if (pieces.size() <= 3) return text;
    pieces[1] = L"*";
    pieces[2] = L"*";
    String out = pieces[0];
    for (int32_t i = 1; i < pieces.size(); ++i) {
        out += L'.';
        out += pieces[i];
    }
    return out;
}

}  // namespace tunnel
