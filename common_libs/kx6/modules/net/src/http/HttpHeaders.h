#pragma once

#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace kx {
namespace net {

// Header map of the HTTP records: names as written, ordered by name.
typedef kx::core::Map<kx::core::String, kx::core::String> HttpHeaders;

// Header lookups ignore case; names are kept as written.
class HttpHeaderLookup {
public:
    // The value of the first header whose lower-cased name equals the
    // lower-cased name asked for; null when there is none.
    static const kx::core::String* find(const HttpHeaders& headers, const kx::core::String& name);
    // Same, as a copy: empty when there is none.
    static kx::core::String value(const HttpHeaders& headers, const kx::core::String& name);
    static bool contains(const HttpHeaders& headers, const kx::core::String& name) {
        return find(headers, name) != nullptr;
    }
};

}  // namespace net
}  // namespace kx
