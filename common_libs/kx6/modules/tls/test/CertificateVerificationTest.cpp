#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "async/src/SocketReactor.h"
#include "async/src/TcpSocket.h"
#include "async/test/support/PeerProcess.h"
#include "async/test/support/Pump.h"
#include "tls/src/PublicKeyPin.h"
#include "tls/src/TlsFilter.h"
#include "tls/src/TlsSettings.h"
#include "tls/test/support/TestPki.h"

using kx::async::SocketReactor;
using kx::async::TcpSocket;
using kx::core::String;
using kx::core::Strings;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using kx::testing::PeerProcess;
using kx::testing::pumpUntil;
using kx::testing::TestPki;
using kx::tls::TlsFilter;
using kx::tls::TlsSettings;

namespace {

enum Trust { TRUST_ROOT, TRUST_NOTHING };

struct Case {
    const char* name;
    const TestPki::Server& (TestPki::*server)() const;
    Trust trust;
    std::vector<std::string> pins;  // "root", "intermediate", "self", "good" or literal text
    const char* hostName;
    bool accepted;
    const char* errorHas;  // part of the filter's error text when refused
};

String pinText(const TestPki& pki, const std::string& which) {
    if (which == "root") return TestPki::pinOf(pki.root());
    if (which == "intermediate") return TestPki::pinOf(pki.intermediate());
    if (which == "self") return TestPki::pinOf(pki.selfSigned().identity);
    if (which == "good") return TestPki::pinOf(pki.good().identity);
    return String::fromUtf8(which);
}

// One handshake against python's TLS server presenting the case's chain:
// 1 accepted, 0 refused; the filter's error text in *error.
int handshakeWith(const Case& c, std::string* error) {
    TestPki& pki = TestPki::shared();
    const TestPki::Server& server = (pki.*c.server)();
    PeerProcess peer;
    if (!peer.start({"python3", PeerProcess::dirOf(__FILE__) + "/peers/tls_peer.py", "echo",
                     server.chainPath, server.keyPath})) {
        return -1;
    }
    TlsSettings settings;
    if (c.trust == TRUST_ROOT) {
        if (!settings.loadCaChain(pki.root().certPem)) return -1;
    } else {
        // No public CA at all: only pins can vouch.
        settings.setCaBundlePath("/nonexistent/ca-bundle.crt");
    }
    Strings pins;
    for (const std::string& which : c.pins) pins.append(pinText(pki, which));
    settings.setPins(pins);

    SocketReactor reactor(10);
    TcpSocket socket(&reactor);
    int connected = -1;
    socket.connect(
        SocketAddress(IpAddress("127.0.0.1"), static_cast<uint16_t>(peer.port())),
        [&](bool ok) { connected = ok; }, 3000);
    pumpUntil(reactor, [&]() { return connected != -1; });
    if (connected != 1) return -1;
    int result = -1;
    {
        TlsFilter filter(&socket, &settings);
        filter.setHostName(String::fromUtf8(c.hostName));
        filter.handshake([&](bool ok) { result = ok; }, 5000);
        pumpUntil(reactor, [&]() { return result != -1; });
        *error = filter.errorText().toStdString();
        bool closed = false;
        filter.abort([&]() { closed = true; });
        pumpUntil(reactor, [&]() { return closed && reactor.idle(); });
    }
    peer.stop();
    return result;
}

}  // namespace

TEST(CertificateVerification, ChainsHostNamesDatesAndPins) {
    ASSERT_TRUE(TestPki::shared().ok());
    const Case cases[] = {
        {"trusted chain", &TestPki::good, TRUST_ROOT, {}, "localhost", true, ""},
        {"unknown CA", &TestPki::unknownIssuer, TRUST_ROOT, {}, "localhost", false,
         "certificate verification failed: The certificate is not correctly signed by the trusted CA"},
        {"wrong host name", &TestPki::otherName, TRUST_ROOT, {}, "localhost", false,
         "does not match with the expected CN"},
        {"expired", &TestPki::expired, TRUST_ROOT, {}, "localhost", false,
         "The certificate validity has expired"},
        {"no CA bundle and no pins", &TestPki::good, TRUST_NOTHING, {}, "localhost", false,
         "certificate verification impossible: cannot read the CA bundle /nonexistent/ca-bundle.crt"},
        {"pin match with an unknown CA", &TestPki::selfSigned, TRUST_NOTHING, {"self"}, "localhost",
         true, ""},
        {"pin match, one of two pins", &TestPki::good, TRUST_NOTHING, {"self", "good"}, "localhost",
         true, ""},
        {"pin mismatch with a trusted CA", &TestPki::good, TRUST_ROOT, {"self"}, "localhost", false,
         "certificate matches none of the 1 pin"},
        {"only the intermediate matches", &TestPki::good, TRUST_NOTHING, {"intermediate"},
         "localhost", true, ""},
        {"pinned root reached through the trust store", &TestPki::good, TRUST_ROOT, {"root"},
         "localhost", true, ""},
        {"pinned key still needs the right host name", &TestPki::selfSigned, TRUST_NOTHING, {"self"},
         "api.example.net", false, "does not match with the expected CN"},
        {"pinned key still needs valid dates", &TestPki::expired, TRUST_NOTHING, {"intermediate"},
         "localhost", false, "The certificate validity has expired"},
        {"pinned intermediate appended by an unrelated server", &TestPki::borrowedPin, TRUST_NOTHING,
         {"intermediate"}, "localhost", false, "certificate matches none of the 1 pin"},
        {"malformed pin in the configuration", &TestPki::good, TRUST_ROOT, {"good", "not a pin"},
         "localhost", false, "certificate pin is not the Base64 text of a SHA-256 digest"},
        {"pin of the wrong length", &TestPki::good, TRUST_ROOT, {"AAAA"}, "localhost", false,
         "certificate pin is not the Base64 text"},
    };
    for (const Case& c : cases) {
        std::string error;
        int result = handshakeWith(c, &error);
        EXPECT_EQ(c.accepted ? 1 : 0, result) << c.name << ": " << error;
        if (c.accepted) {
            EXPECT_EQ("", error) << c.name;
        } else {
            EXPECT_NE(std::string::npos, error.find(c.errorHas)) << c.name << ": " << error;
        }
    }
}

TEST(PublicKeyPin, OfPemMatchesTheDigestOfTheKeyAndParsesBack) {
    TestPki& pki = TestPki::shared();
    ASSERT_TRUE(pki.ok());
    String pin;
    ASSERT_TRUE(kx::tls::PublicKeyPin::ofPem(pki.good().identity.certPem, &pin, nullptr));
    EXPECT_EQ(44, pin.length());  // Base64 of 32 bytes
    kx::core::Binary digest;
    EXPECT_TRUE(kx::tls::PublicKeyPin::parse(pin, &digest));
    EXPECT_EQ(32, digest.length());
    // A certificate renewed for the same key would keep it; another key does not.
    EXPECT_NE(pin, TestPki::pinOf(pki.selfSigned().identity));

    String error;
    EXPECT_FALSE(kx::tls::PublicKeyPin::ofPem(kx::core::Binary("no certificate here"), &pin, &error));
    EXPECT_NE(std::wstring::npos, std::wstring(error.c_str()).find(L"not a certificate"));
}
