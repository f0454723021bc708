#pragma once

#include <mutex>

#include "util/src/http/IHttpAccess.h"

namespace tunnel {

// Lets one request at a time through to the inner access (the worker thread
// and the account refresh thread share the control-API stack).
class SharedHttpClient : public kx::util::IHttpAccess {
public:
    explicit SharedHttpClient(kx::util::IHttpAccess* inner);  // not owned
    ~SharedHttpClient() override;

    bool request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response, bool secure,
                 int32_t timeoutMs) override;

private:
    std::mutex m_mutex;
    kx::util::IHttpAccess* m_inner;
};

}  // namespace tunnel
