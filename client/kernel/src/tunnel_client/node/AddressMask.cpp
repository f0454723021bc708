#include "tunnel_client/node/AddressMask.h"

#include "core/src/value/Array.h"

namespace tunnel {

using kx::core::String;

String AddressMask::mask(const kx::net::SocketAddress& address) {
    return mask(address.toString());
}

String AddressMask::mask(const String& text) {
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
