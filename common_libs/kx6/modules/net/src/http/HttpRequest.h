#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "net/src/http/HttpHeaderLookup.h"

namespace kx {
namespace net {

// One HTTP request as it travels through the IHttpAccess layers. The URL is
// the full text; layers that need its parts parse it with URL.
class HttpRequest {
public:
    HttpRequest() : version(L"HTTP/1.1") {}
    virtual ~HttpRequest() = default;

    kx::core::String method;
    kx::core::String url;
    kx::core::String version;
    HttpHeaders headers;
    kx::core::Binary body;
};

}  // namespace net
}  // namespace kx
