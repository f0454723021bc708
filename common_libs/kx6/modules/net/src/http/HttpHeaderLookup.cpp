#include "net/src/http/HttpHeaderLookup.h"

namespace kx {
namespace net {

using kx::core::String;

const String* HttpHeaderLookup::find(const HttpHeaders& headers, const String& name) {
    // Exact match first: the common case needs no lower-casing.
    if (const String* exact = headers.find(name)) return exact;
    const String wanted = name.toLower();
    for (const auto& entry : headers) {
        if (entry.first.length() == wanted.length() && entry.first.toLower() == wanted) {
            return &entry.second;
        }
    }
    return nullptr;
}

String HttpHeaderLookup::value(const HttpHeaders& headers, const String& name) {
    const String* found = find(headers, name);
    return found ? *found : String();
}

}  // namespace net
}  // namespace kx
