#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "net/src/http/HttpHeaderLookup.h"

namespace kx {
namespace net {

// One HTTP response. status stays -1 while no response has arrived.
class HttpResponse {
public:
    static const int32_t NO_STATUS = -1;

    HttpResponse() : status(NO_STATUS) {}
    virtual ~HttpResponse() = default;

    bool hasStatus() const { return status >= 0; }
    // Back to "no response": empty texts, status -1, no headers, no body.
    void reset() {
        version.clear();
        status = NO_STATUS;
        reason.clear();
        headers.clear();
        body.clear();
    }

    kx::core::String version;
    int32_t status;
    kx::core::String reason;
    HttpHeaders headers;
    kx::core::Binary body;
};

}  // namespace net
}  // namespace kx
