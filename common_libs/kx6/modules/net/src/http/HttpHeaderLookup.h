#pragma once

#include "net/src/http/HttpHeaders.h"

namespace kx {
namespace net {

// Header lookups that ignore the case of the name; names stay as written.
class HttpHeaderLookup {
public:
    // The value of the first header whose name equals name ignoring ASCII
    // case; null when there is none.
    static const kx::core::String* find(const HttpHeaders& headers, const kx::core::String& name);
    // Same, as a copy: empty when there is none.
    static kx::core::String value(const HttpHeaders& headers, const kx::core::String& name);
    static bool contains(const HttpHeaders& headers, const kx::core::String& name) {
        return find(headers, name) != nullptr;
    }
};

}  // namespace net
}  // namespace kx
