#pragma once

#include <cstdint>
#include <functional>

#include "web/src/Http.h"

namespace kx {
namespace web {

class HttpClientSession;

// One request and its response on a session.
class HttpClientExchange {
public:
    explicit HttpClientExchange(HttpClientSession* session) : m_session(session) {}

    void send(const Http::Request& request, std::function<void(bool)> callback, int32_t timeoutMs);
    // The response to the request sent last; status -1 on failure.
    void receive(std::function<void(Http::Response&)> callback, int32_t timeoutMs);
    bool idle() const;

private:
    HttpClientSession* m_session;
    core::String m_method;
};

}  // namespace web
}  // namespace kx
