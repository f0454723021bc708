#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "net/src/http/HttpHeaders.h"

namespace lab {

// One HTTP request as the API server read it off a connection.
struct ApiRequest {
    kx::core::String method;
    kx::core::String target;   // path and query as sent
    kx::core::String version;  // "HTTP/1.0" or "HTTP/1.1"
    kx::net::HttpHeaders headers;
    kx::core::Binary body;
    bool keepAlive = true;
};

}  // namespace lab
