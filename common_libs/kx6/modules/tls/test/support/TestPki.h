#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "tls/src/CertificateWriter.h"
#include "tls/src/PublicKeyPin.h"

namespace kx {
namespace testing {

// Certificates for verification tests, made at run time in a fresh
// directory: a root CA standing in for a public one, an intermediate it
// signed, server certificates below it (for "localhost", "api.test" and 127.0.0.1, for
// another name, expired), one from an unknown CA and a self-signed one.
// Chain files hold the server certificate followed by its intermediate, as
// servers send them. One per test process; removed at exit.
class TestPki {
public:
    typedef tls::CertificateWriter::Identity Identity;

    struct Server {
        std::string chainPath;  // PEM: the server certificate, then any intermediate
        std::string keyPath;
        Identity identity;
    };

    static TestPki& shared() {
        static TestPki pki;
        return pki;
    }

    bool ok() const { return m_ok; }
    const Identity& root() const { return m_root; }
    const Identity& intermediate() const { return m_intermediate; }
    const Server& good() const { return m_good; }
    const Server& otherName() const { return m_otherName; }
    // For the address 127.0.0.3 (also as a name, which is what the TLS library
    // compares) and "localhost" only: right for a client that checks the
    // address it connected to instead of the name it asked for.
    const Server& addressOnly() const { return m_addressOnly; }
    const Server& expired() const { return m_expired; }
    const Server& unknownIssuer() const { return m_unknownIssuer; }
    const Server& selfSigned() const { return m_selfSigned; }
    // The selfSigned server certificate followed by the intermediate, which
    // did not sign it: a server trying to borrow the intermediate's pin.
    const Server& borrowedPin() const { return m_borrowedPin; }

    static core::String pinOf(const Identity& identity) {
        core::String pin;
        tls::PublicKeyPin::ofPem(identity.certPem, &pin, nullptr);
        return pin;
    }

    ~TestPki() {
        for (const std::string& path : m_files) unlink(path.c_str());
        if (!m_dir.empty()) rmdir(m_dir.c_str());
    }

private:
    TestPki() {
        char tmpl[] = "/tmp/kx-pki-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        m_dir = tmpl;
        tls::CertificateWriter::Request ca;
        ca.authority = true;
        ca.commonName = "Test Root";
        if (!make(ca, nullptr, &m_root)) return;
        ca.commonName = "Test Intermediate";
        if (!make(ca, &m_root, &m_intermediate)) return;
        ca.commonName = "Unknown Root";
        Identity unknownRoot;
        if (!make(ca, nullptr, &unknownRoot)) return;

        tls::CertificateWriter::Request leaf;
        leaf.commonName = "localhost";
        leaf.dnsNames = {"localhost", "api.test"};
        leaf.ipv4 = {"127.0.0.1"};
        m_ok = server("good", leaf, &m_intermediate, &m_good) &&
               server("unknown", leaf, &unknownRoot, &m_unknownIssuer) &&
               server("self", leaf, nullptr, &m_selfSigned);
        tls::CertificateWriter::Request other = leaf;
        other.commonName = "api.example.net";
        other.dnsNames = {"api.example.net"};
        other.ipv4.clear();
        tls::CertificateWriter::Request old = leaf;
        old.notBefore = "20200101000000";
        old.notAfter = "20210101000000";
        tls::CertificateWriter::Request address = leaf;
        address.dnsNames = {"localhost", "127.0.0.3"};
        address.ipv4 = {"127.0.0.3"};
        m_ok = m_ok && server("other", other, &m_intermediate, &m_otherName) &&
               server("address", address, &m_intermediate, &m_addressOnly) &&
               server("expired", old, &m_intermediate, &m_expired);
        if (m_ok) {
            m_borrowedPin = m_selfSigned;
            m_borrowedPin.chainPath = write(
                "borrowed.pem", text(m_selfSigned.identity.certPem) + text(m_intermediate.certPem));
            m_ok = !m_borrowedPin.chainPath.empty();
        }
    }

    static std::string text(const core::Binary& b) {
        return std::string(reinterpret_cast<const char*>(b.data()),
                           static_cast<size_t>(b.length()));
    }

    bool make(const tls::CertificateWriter::Request& request, const Identity* issuer,
              Identity* out) {
        core::String error;
        if (tls::CertificateWriter::make(request, issuer, out, &error)) return true;
        std::fprintf(stderr, "TestPki: %s\n", error.toStdString().c_str());
        return false;
    }

    bool server(const std::string& name, const tls::CertificateWriter::Request& request,
                const Identity* issuer, Server* out) {
        if (!make(request, issuer, &out->identity)) return false;
        std::string chain = text(out->identity.certPem);
        if (issuer == &m_intermediate) chain += text(m_intermediate.certPem);
        out->chainPath = write(name + "-chain.pem", chain);
        out->keyPath = write(name + "-key.pem", text(out->identity.keyPem));
        return !out->chainPath.empty() && !out->keyPath.empty();
    }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = m_dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return std::string();
        bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
        ok = std::fclose(f) == 0 && ok;
        m_files.push_back(path);
        return ok ? path : std::string();
    }

    std::string m_dir;
    std::vector<std::string> m_files;
    bool m_ok = false;
    Identity m_root, m_intermediate;
    Server m_good, m_otherName, m_addressOnly, m_expired, m_unknownIssuer, m_selfSigned,
        m_borrowedPin;
};

}  // namespace testing
}  // namespace kx
