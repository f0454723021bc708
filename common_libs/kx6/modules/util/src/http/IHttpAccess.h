#pragma once

#include <cstdint>

#include "net/src/http/HttpRequest.h"
#include "net/src/http/HttpResponse.h"

namespace kx {
namespace util {

// One blocking HTTP exchange. Every layer of the control-API stack offers it,
// so each can be built and tested against a stand-in for the layer below.
class IHttpAccess {
public:
    // secure asks the bottom layer for TLS; a negative timeoutMs means no
    // limit. True when a response of any status arrived within the limit.
    // response may be null; when given it receives whatever arrived, and its
    // status stays -1 on failure. Implementations never let an exception
    // escape: every failure is false.
    virtual bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response,
                         bool secure, int32_t timeoutMs) = 0;

    virtual ~IHttpAccess() = default;
};

}  // namespace util
}  // namespace kx
