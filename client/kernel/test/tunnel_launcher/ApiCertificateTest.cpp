#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "ApiTestSupport.h"
#include "tunnel_launcher/service/AccountService.h"

using kx::core::String;
using kx::core::Strings;
using kx::testing::TestPki;
using tunnel::AccountService;
using tunnel::testing::ApiPeer;
using tunnel::testing::TestLauncherContext;

namespace {

// A verified API on 127.0.0.1 and, on the same port of 127.0.0.2, an
// impostor whose certificate the SDK must refuse. The race tries the
// impostor's address first. On 127.0.0.3, a server whose certificate names
// that address but not the API's host name.
class ApiCertificateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const TestPki& pki = TestPki::shared();
        if (!pki.ok()) return;
        s_good.reset(new ApiPeer());
        if (!s_good->startTls(pki.good())) {
            s_good.reset();
            return;
        }
        s_impostor.reset(new ApiPeer());
        if (!s_impostor->startTls(pki.selfSigned(), "127.0.0.2", s_good->port()))
            s_impostor.reset();
        s_addressOnly.reset(new ApiPeer());
        if (!s_addressOnly->startTls(pki.addressOnly(), "127.0.0.3", s_good->port()))
            s_addressOnly.reset();
    }
    static void TearDownTestSuite() {
        s_good.reset();
        s_impostor.reset();
        s_addressOnly.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(s_good && s_impostor && s_addressOnly) << "python3 api peers did not start";
        char tmpl[] = "/tmp/kx-apicert-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        m_dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }

    std::unique_ptr<TestLauncherContext> context(const Strings& group, const Strings* pins) {
        return std::unique_ptr<TestLauncherContext>(new TestLauncherContext(
            s_good->url("ok"), String::fromUtf8(m_dir + "/Korvane/token.dat"), group, pins));
    }

    static std::unique_ptr<ApiPeer> s_good, s_impostor, s_addressOnly;
    std::string m_dir;
};

std::unique_ptr<ApiPeer> ApiCertificateTest::s_good, ApiCertificateTest::s_impostor,
    ApiCertificateTest::s_addressOnly;

}  // namespace

TEST_F(ApiCertificateTest, TheRaceMovesOnFromAnAddressWhoseCertificateFails) {
    const Strings pins{TestPki::pinOf(TestPki::shared().intermediate())};
    auto ctx = context(Strings{L"127.0.0.2", L"127.0.0.1"}, &pins);
    AccountService service(ctx.get());
    ASSERT_TRUE(service.start()) << service.errorText().toStdString();
    bool impostorRefused = false;
    for (const std::string& line : ctx->log.starting("[Dns] ping 127.*.*.2")) {
        if (line.find("fail certificate") != std::string::npos) impostorRefused = true;
    }
    EXPECT_TRUE(impostorRefused);
    EXPECT_TRUE(ctx->log.has("I [Dns] race group=0 winner=127.*.*.1 ok"));
}

// What korvane_error() finally reads when no address can be verified.
TEST_F(ApiCertificateTest, ARefusedCertificateIsNamedInTheFailureText) {
    const Strings noPins;
    const Strings wrongPin{TestPki::pinOf(TestPki::shared().root())};
    const Strings brokenPin{L"not-a-pin"};
    const Strings intermediatePin{TestPki::pinOf(TestPki::shared().intermediate())};
    struct Case {
        const char* name;
        Strings group;
        const Strings* pins;
        const char* text;
    } cases[] = {
        {"private CA, no pins", Strings{L"127.0.0.1"}, &noPins,
         "Failed to create client: HTTP: "
         "\xe6\x97\xa0\xe5\x8f\xaf\xe7\x94\xa8\xe8\xa7\xa3\xe6\x9e\x90 "
         "(127.*.*.1: certificate verification failed: The certificate is not correctly signed by "
         "the "
         "trusted CA)"},
        {"pin of another key", Strings{L"127.0.0.2"}, &wrongPin,
         "(127.*.*.2: certificate matches none of the 1 pin (public key SHA-256))"},
        // The race connects to the literal address; the name checked is the URL's.
        {"certificate for the address raced to, not the name", Strings{L"127.0.0.3"},
         &intermediatePin,
         "(127.*.*.3: certificate verification failed: The certificate Common Name (CN) does not "
         "match "
         "with the expected CN)"},
        {"malformed pin", Strings{L"127.0.0.1"}, &brokenPin,
         "(127.*.*.1: certificate pin is not the Base64 text of a SHA-256 digest: \"not-a-pin\")"},
    };
    for (const Case& c : cases) {
        auto ctx = context(c.group, c.pins);
        AccountService service(ctx.get());
        EXPECT_FALSE(service.start()) << c.name;
        EXPECT_NE(std::string::npos, service.errorText().toStdString().find(c.text))
            << c.name << ": " << service.errorText().toStdString();
    }
}
