#include "lab_api/ApiServer.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "lab_api/ApiListener.h"
#include "lab_api/ApiService.h"
#include "lab_api/SelfSignedCertificate.h"
#include "lab_api/TlsServerContext.h"

namespace lab {

using kx::core::Array;
using kx::core::Binary;
using kx::core::String;

namespace {

bool readFile(const String& path, Binary* out) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = Binary::fromStdString(text.str());
    return true;
}

}  // namespace

ApiServer::ApiServer(kx::net::SocketEventSelector* selector) : m_selector(selector) {}

ApiServer::~ApiServer() {
    m_https.reset();
    m_http.reset();
}

bool ApiServer::_loadCertificate(const ApiConfig& config, String* error) {
    Binary cert, key;
    if (config.certFile.isEmpty()) {
        if (!SelfSignedCertificate::make(L"127.0.0.1", &cert, &key, error)) return false;
    } else if (!readFile(config.certFile, &cert) || !readFile(config.keyFile, &key)) {
        if (error) *error = L"cannot read " + config.certFile + L" or " + config.keyFile;
        return false;
    }
    m_tls.reset(new TlsServerContext);
    return m_tls->init(cert, key, error);
}

bool ApiServer::start(const ApiConfig& config, const Array<kx::core::Any>& targets, String* error) {
    m_service.reset(new ApiService(config));
    if (!config.hasTargets) m_service->setTargets(targets);
    ApiListener::Limits limits;
    limits.headLimit = config.headLimit;
    limits.bodyLimit = config.bodyLimit;
    limits.timeoutMs = config.clientTimeoutMs;
    limits.maxConnections = config.maxConnections;
    if (config.hasListen) {
        m_http.reset(new ApiListener(m_selector, m_service.get(), nullptr, limits));
        if (!m_http->start(config.listen, error)) return false;
    }
    if (config.hasHttps) {
        if (!_loadCertificate(config, error)) return false;
        m_https.reset(new ApiListener(m_selector, m_service.get(), m_tls.get(), limits));
        if (!m_https->start(config.httpsListen, error)) return false;
    }
    return true;
}

void ApiServer::tick() {
    if (m_http) m_http->tick();
    if (m_https) m_https->tick();
}

std::string ApiServer::command(const std::string& text) {
    if (!m_service) return "error the api is not running";
    std::string line = text.substr(std::min(text.size(), text.find_first_not_of(" \t")));
    std::string answer = m_service->command(line);
    if (line.compare(0, 6, "status") == 0 && answer.compare(0, 2, "ok") == 0) {
        answer += " connections=" + std::to_string((m_http ? m_http->connectionCount() : 0) +
                                                   (m_https ? m_https->connectionCount() : 0));
    }
    return answer;
}

Array<String> ApiServer::describe() const {
    Array<String> lines;
    if (m_http) lines.append(L"api listening on " + m_http->address().toString() + L" (http)");
    if (m_https) lines.append(L"api listening on " + m_https->address().toString() + L" (https)");
    return lines;
}

kx::net::SocketAddress ApiServer::httpAddress() const {
    return m_http ? m_http->address() : kx::net::SocketAddress();
}

kx::net::SocketAddress ApiServer::httpsAddress() const {
    return m_https ? m_https->address() : kx::net::SocketAddress();
}

}  // namespace lab
