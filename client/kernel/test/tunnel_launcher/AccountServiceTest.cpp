#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "ApiTestSupport.h"
#include "core/src/time/Clock.h"
#include "core/src/value/AnyConvert.h"
#include "tunnel_launcher/api/ApiAccess.h"
#include "tunnel_launcher/api/ApiClient.h"
#include "tunnel_launcher/service/AccountService.h"

using kx::core::String;
using tunnel::AccountService;
using tunnel::testing::ApiPeer;
using tunnel::testing::TestLauncherContext;

namespace {

class AccountServiceTest : public ::testing::TestWithParam<bool> {
protected:
    static void TearDownTestSuite() {
        s_peers[0].reset();
        s_peers[1].reset();
    }

    void SetUp() override {
        ASSERT_TRUE(peer()) << "python3 api peer did not start";
        char tmpl[] = "/tmp/kx-account-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        m_dir = tmpl;
        peer()->requests(0);
    }
    void TearDown() override {
        kx::core::Clock::resetForTests();
        std::system(("rm -rf " + m_dir).c_str());
    }

    // Started on first use, shared by the suite.
    ApiPeer* peer() {
        bool tls = GetParam();
        if (!s_peers[tls]) {
            s_peers[tls].reset(new ApiPeer());
            if (!s_peers[tls]->start(tls)) s_peers[tls].reset();
        }
        return s_peers[tls].get();
    }
    String tokenFile() { return String::fromUtf8(m_dir + "/Korvane/token.dat"); }
    std::unique_ptr<TestLauncherContext> context(const std::string& mode) {
        return std::unique_ptr<TestLauncherContext>(new TestLauncherContext(peer()->url(mode), tokenFile()));
    }
    // The API calls (not the race's pings) the peer saw, as "PATH".
    std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (const std::string& line : peer()->requests()) {
            size_t path = line.find(' ', 4) + 1;
            std::string p = line.substr(path, line.find(' ', path) - path);
            if (p != "/util") out.push_back(p);
        }
        return out;
    }

    static std::unique_ptr<ApiPeer> s_peers[2];
    std::string m_dir;
};

std::unique_ptr<ApiPeer> AccountServiceTest::s_peers[2];

}  // namespace

TEST_P(AccountServiceTest, CreateThenUpdateThenResetRejectedToken) {
    String firstToken;
    {
        auto ctx = context("ok");
        AccountService service(ctx.get());
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        EXPECT_EQ((std::vector<std::string>{"/account", "/instance"}), calls());
        firstToken = service.token();
        EXPECT_FALSE(firstToken.isEmpty());
        EXPECT_EQ(firstToken, ctx->properties()->get(L"client.token"));
        ASSERT_EQ(2, service.targets().size());
        EXPECT_EQ(7, kx::core::AnyConvert::toInt64(
                         service.targets()[0].as<kx::core::Dictionary<kx::core::Any>>().get(L"id")));
        EXPECT_TRUE(ctx->log.has("I [Launcher] Client created."));
        EXPECT_TRUE(ctx->log.has("I [Launcher] Target list updated."));
        EXPECT_EQ(1u, ctx->log.starting("[Dns] race group=0 winner=127.*.*.1 ok").size());
        // A second start does nothing.
        EXPECT_FALSE(service.start());
        EXPECT_TRUE(calls().empty());
    }
    {
        // The stored token is announced again, not replaced.
        auto ctx = context("ok");
        AccountService service(ctx.get());
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        EXPECT_EQ((std::vector<std::string>{"/account", "/instance"}), calls());
        EXPECT_EQ(firstToken, service.token());
        EXPECT_TRUE(ctx->log.has("I [Launcher] Client updated."));
    }
    {
        // A token the API no longer knows: reset, saved, then a new client.
        auto ctx = context("ok");
        ASSERT_TRUE(ctx->properties()->set(L"client.token", L"tok-forgotten"));
        AccountService service(ctx.get());
        ASSERT_TRUE(service.start()) << service.errorText().toStdString();
        EXPECT_EQ((std::vector<std::string>{"/account", "/account", "/instance"}), calls());
        EXPECT_TRUE(ctx->log.has("W [Launcher] Failed to update client: token rejected"));
        EXPECT_TRUE(ctx->log.has("I [Launcher] Reset token."));
        EXPECT_TRUE(ctx->log.has("I [Launcher] Client created."));
        EXPECT_NE(String(L"tok-forgotten"), service.token());
        EXPECT_NE(firstToken, service.token());
        EXPECT_EQ(service.token(), tunnel::EncryptedProperties(tokenFile(), L"prefix-for-test").get(L"client.token"));
    }
}

TEST_P(AccountServiceTest, HourlyRefreshRunsOnItsOwnThread) {
    auto ctx = context("ok");
    AccountService service(ctx.get());
    service.tick();  // no token yet: nothing to refresh
    EXPECT_FALSE(service.refreshRunning());
    ASSERT_TRUE(service.start());
    calls();
    service.tick();
    EXPECT_FALSE(service.refreshRunning());
    EXPECT_TRUE(calls().empty());

    kx::core::Clock::advance(AccountService::ACCOUNT_REFRESH_PERIOD + 1);
    service.tick();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (service.refreshRunning() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(service.refreshRunning());
    EXPECT_EQ((std::vector<std::string>{"/account"}), calls());
    service.tick();  // the timer restarted: not due again
    EXPECT_FALSE(service.refreshRunning());
}

// The SDK's stop waits for a refresh still talking to the API; an answer held
// back must not hold the stop for the call's whole time limit.
TEST_P(AccountServiceTest, AbortEndsARequestUnderWayAtOnce) {
    auto ctx = context("all-hold");
    uint32_t took = 0;
    std::thread refresh([&]() { took = tunnel::ApiClient(ctx->apiAccess(), ctx->apiSettings().url).ping(15000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto begin = std::chrono::steady_clock::now();
    ctx->apiAccess()->abort();
    refresh.join();
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    EXPECT_EQ(tunnel::ApiClient::PING_FAILED, took);
    EXPECT_LT(waited.count(), 2000);
    EXPECT_EQ(tunnel::ApiClient::PING_FAILED, tunnel::ApiClient(ctx->apiAccess(), ctx->apiSettings().url).ping(15000));
}

INSTANTIATE_TEST_SUITE_P(HttpAndHttps, AccountServiceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Https" : "Http");
                         });

// Failures of the account steps: one clear text each, nothing thrown, and a
// good stored token survives any of them.
TEST_P(AccountServiceTest, FailuresEndInOneClearText) {
    if (GetParam()) GTEST_SKIP() << "transport-independent";
    struct Case {
        const char* mode;
        bool storedToken;
        const char* errorPrefix;
    } cases[] = {
        {"fail7", true, "Failed to update client: database busy"},
        // These two fail after the client was created: its token is kept.
        {"notargets", false, "Target list is empty"},
        {"arrayresult", false, "Failed to update target list: Bad rpc return: not dic or null"},
        {"nulltoken", false, "Failed to create client: Empty token"},
        {"s502", false, "Failed to create client: HTTP: 502-Bad Gateway"},
        {"html", false, "Failed to create client: \xe5\x93\x8d\xe5\xba\x94\xe5\x86\x85\xe5\xae\xb9"},
        {"garbage", false, "Failed to create client: \xe5\x93\x8d\xe5\xba\x94\xe5\x86\x85\xe5\xae\xb9"},
        {"badcipher", false, "Failed to create client: \xe5\x93\x8d\xe5\xba\x94\xe5\x86\x85\xe5\xae\xb9"},
        {"badnonce", false, "Failed to create client: HTTP: Bad response nonce"},
        {"badid", false, "Failed to create client: JSON-RPC"},
        {"hugebody", false, "Failed to create client: HTTP: \xe6\x97\xa0\xe6\xb3\x95\xe8\xbf\x9e\xe6\x8e\xa5"},
    };
    for (const Case& c : cases) {
        auto ctx = context(c.mode);
        std::string stored;
        if (c.storedToken) {
            // A token the peer knows, made through the healthy mode.
            auto maker = context("ok");
            AccountService creator(maker.get());
            ASSERT_TRUE(creator.start());
            stored = creator.token().toStdString();
            ctx.reset();
            ctx = context(c.mode);
        }
        AccountService service(ctx.get());
        auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(service.start()) << c.mode;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.mode;
        EXPECT_EQ(0u, service.errorText().toStdString().find(c.errorPrefix))
            << c.mode << ": " << service.errorText().toStdString();
        EXPECT_TRUE(service.token().isEmpty()) << c.mode;
        std::string kept = ctx->properties()->get(L"client.token").toStdString();
        if (std::string(c.errorPrefix).find("target list") != std::string::npos ||
            std::string(c.errorPrefix).find("Target list") != std::string::npos) {
            EXPECT_EQ(0u, kept.find("tok-")) << c.mode;
        } else {
            EXPECT_EQ(stored, kept) << c.mode;
        }
        ctx.reset();
        std::system(("rm -rf " + m_dir + "/Korvane").c_str());
    }
}
