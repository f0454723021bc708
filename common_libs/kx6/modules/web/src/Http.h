#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace kx {
namespace web {

// The client's request and response records. Header names are kept as
// written; lookups ignore case.
class Http {
public:
    typedef core::Map<core::String, core::String> Headers;

    struct Request {
        core::String method = L"GET";
        core::String target = L"/";  // path and query
        core::String version = L"HTTP/1.1";
        Headers headers;
        core::Binary body;
    };

    struct Response {
        core::String version;
        int32_t status = -1;  // -1: no response arrived
        core::String reason;
        Headers headers;
        core::Binary body;
    };

    // Value of the first header named name in any case; null when absent.
    static const core::String* findHeader(const Headers& headers, const core::String& name);
    static core::String header(const Headers& headers, const core::String& name);
    static bool hasHeader(const Headers& headers, const core::String& name) {
        return findHeader(headers, name) != nullptr;
    }

    Http() = delete;
};

}  // namespace web
}  // namespace kx
