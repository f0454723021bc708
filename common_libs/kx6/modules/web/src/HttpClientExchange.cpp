#include "web/src/HttpClientExchange.h"

#include "web/src/HttpClientSession.h"

namespace kx {
namespace web {

void HttpClientExchange::send(const Http::Request& request, std::function<void(bool)> callback,
                              int32_t timeoutMs) {
    m_method = request.method;
    m_session->sendRequest(request, std::move(callback), timeoutMs);
}

void HttpClientExchange::receive(std::function<void(Http::Response&)> callback, int32_t timeoutMs) {
    m_session->receiveResponse(m_method, std::move(callback), timeoutMs);
}

bool HttpClientExchange::idle() const {
    return m_session->idle();
}

}  // namespace web
}  // namespace kx
