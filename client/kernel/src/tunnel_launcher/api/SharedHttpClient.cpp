#include "tunnel_launcher/api/SharedHttpClient.h"

namespace tunnel {

SharedHttpClient::SharedHttpClient(kx::util::IHttpAccess* inner) : m_inner(inner) {}

SharedHttpClient::~SharedHttpClient() = default;

bool SharedHttpClient::request(const kx::net::HttpRequest& request, kx::net::HttpResponse* response,
                               bool secure, int32_t timeoutMs) {
    if (!m_inner) {
        if (response) response->reset();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inner->request(request, response, secure, timeoutMs);
}

}  // namespace tunnel
