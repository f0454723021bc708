#include "lab_api/ApiServer.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "lab_api/ApiListener.h"
#include "lab_api/ApiService.h"
#include "core/src/misc/FileUtil.h"
#include "lab_api/TlsServerContext.h"
#include "tls/src/CertificateWriter.h"
#include "tls/src/PublicKeyPin.h"

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

const wchar_t* const CA_FILE = L"/lab-ca.pem";
const wchar_t* const CERT_FILE = L"/api-cert.pem";  // the server certificate, then the lab CA
const wchar_t* const KEY_FILE = L"/api-key.pem";

// A lab CA and, signed by it, a certificate for the API on loopback. The name
// check of the TLS library in use compares dNSName entries only, so the
// address is also written as a name beside its iPAddress entry.
bool makeCertificates(Binary* ca, Binary* chain, Binary* key, String* error) {
    kx::tls::CertificateWriter::Request request;
    request.commonName = "korvane-lab CA";
    request.authority = true;
    kx::tls::CertificateWriter::Identity authority, server;
    if (!kx::tls::CertificateWriter::make(request, nullptr, &authority, error)) return false;
    request = kx::tls::CertificateWriter::Request();
    request.commonName = "localhost";
    request.dnsNames = {"localhost", "127.0.0.1"};
    request.ipv4 = {"127.0.0.1"};
    if (!kx::tls::CertificateWriter::make(request, &authority, &server, error)) return false;
    *ca = authority.certPem;
    *chain = server.certPem;
    chain->append(authority.certPem);
    *key = server.keyPem;
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
    String certFile = config.certFile, keyFile = config.keyFile;
    const String& dir = config.tlsDir;
    if (certFile.isEmpty() && !dir.isEmpty() && kx::core::FileUtil::exists(dir + CERT_FILE)) {
        certFile = dir + CERT_FILE;
        keyFile = dir + KEY_FILE;
    }
    if (certFile.isEmpty()) {
        Binary ca;
        if (!makeCertificates(&ca, &cert, &key, error)) return false;
        m_certSource = L"made at start";
        if (!dir.isEmpty()) {
            kx::core::FileUtil::makeDirectories(dir);
            if (!kx::core::FileUtil::writeAll(dir + CA_FILE, ca) ||
                !kx::core::FileUtil::writeAll(dir + KEY_FILE, key) ||
                !kx::core::FileUtil::writeAll(dir + CERT_FILE, cert)) {
                if (error) *error = L"cannot write the certificates to " + dir;
                return false;
            }
            chmod((dir + KEY_FILE).toStdString().c_str(), 0600);
            m_certSource = L"made and kept in " + dir;
        }
    } else if (!readFile(certFile, &cert) || !readFile(keyFile, &key)) {
        if (error) *error = L"cannot read " + certFile + L" or " + keyFile;
        return false;
    } else {
        m_certSource = certFile;
    }
    if (!kx::tls::PublicKeyPin::ofPem(cert, &m_pin, error)) return false;
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
    if (m_https) {
        lines.append(L"api listening on " + m_https->address().toString() + L" (https)");
        lines.append(L"api https certificate " + m_certSource + L", pin " + m_pin);
    }
    return lines;
}

kx::net::SocketAddress ApiServer::httpAddress() const {
    return m_http ? m_http->address() : kx::net::SocketAddress();
}

kx::net::SocketAddress ApiServer::httpsAddress() const {
    return m_https ? m_https->address() : kx::net::SocketAddress();
}

}  // namespace lab
