#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "LabNetworkTest.h"
#include "RawSwitchClient.h"
#include "core/src/time/Clock.h"
#include "lab_network/LabNetwork.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/TunnelPacket.h"
#include "tunnel_client/protocol/WireValue.h"

using kx::core::Binary;
using kx::core::String;
using tunnel::TunnelPacket;
using tunnel::WireValue;
typedef kx::core::Dictionary<Binary> Message;

namespace {

const uint16_t SOURCE_PORT = 4001;

// A switch relaying an endless source, and one logged-in client that reads
// what the switch sends on one stream and checks its numbering.
class SwitchFaultTest : public labtest::LabNetworkTest {
protected:
    void SetUp() override {
        startLab(
            L"{\"switches\": [{\"name\": \"a\", \"listen\": \"127.0.0.1:0\", "
            L"\"access_keys\": [\"key\"], \"fault\": \"ignore_window\"}],"
            L"\"backends\": [{\"name\": \"source\", \"kind\": \"tcp_source\", "
            L"\"listen\": \"127.0.0.1:0\"}],"
            L"\"routes\": [{\"target_id\": 3, \"client_port\": 4001, \"backend\": \"source\"}]}");
    }
    void TearDown() override {
        client.reset();
        LabNetworkTest::TearDown();
    }

    // Logs in, creates a tunnel and opens one stream to the source, granting
    // the switch `grant` bytes.
    void openSourceStream(uint32_t grant) {
        client.reset(new labtest::RawClient);
        client->connect(selector.get(), network->findSwitch(L"a")->address());
        ASSERT_TRUE(
            client->logIn([this](const std::function<bool()>& done) { return pumpUntil(done); }));
        Message create;
        create.set(L"target_id", Binary("3"));
        client->call(L"tunnel_create", create);
        ASSERT_TRUE(pumpUntil([this] { return client->answers.size() == 3; }));
        ASSERT_FALSE(client->answers[2].contains(L"error_code"));
        client->send(TunnelPacket::buildOpen(TunnelPacket::CLASS_TCP, 5, SOURCE_PORT), 0);
        client->send(TunnelPacket::buildWindow(TunnelPacket::CLASS_TCP, 5, grant), 1);
    }
    // Payload bytes the stream received so far; notes misnumbered packets and
    // pieces over the limit on the way.
    int64_t received() {
        int64_t total = 0;
        uint32_t next = 0;
        for (const TunnelPacket& packet : client->dataPackets()) {
            if (packet.sequence() != next) misnumbered = true;
            next = packet.sequence() + 1;
            const uint8_t* data = nullptr;
            int32_t length = 0;
            if (packet.kind() != TunnelPacket::KIND_DATA || !packet.payload(&data, &length))
                continue;
            if (length > tunnel::wire::MAX_PIECE) oversized = true;
            total += length;
        }
        return total;
    }

    std::unique_ptr<labtest::RawClient> client;
    bool misnumbered = false;
    bool oversized = false;
};

}  // namespace

TEST_F(SwitchFaultTest, IgnoreWindowSendsPastTheGrantOnlyWhileTheFaultIsOn) {
    const uint32_t GRANT = 1000;
    struct Case {
        const char* fault;
        bool beyond;
    } cases[] = {{"none", false}, {"ignore_window", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        // A fresh connection and tunnel for each fault.
        ASSERT_EQ(std::string("ok fault a ") + c.fault,
                  network->command(std::string("fault a ") + c.fault));
        openSourceStream(GRANT);
        if (c.beyond) {
            // Nothing acknowledges; the switch keeps at most its backup capacity.
            EXPECT_TRUE(pumpUntil([this] { return received() > 4 * 131072; }));
        } else {
            EXPECT_TRUE(pumpUntil([this] { return received() == GRANT; }));
            pumpUntil([] { return false; }, 200);
            EXPECT_EQ(GRANT, received());
        }
        EXPECT_FALSE(misnumbered);
        EXPECT_FALSE(oversized);
    }
}

TEST_F(SwitchFaultTest, IgnoreWindowIsNamedInTheConfigAndStatus) {
    EXPECT_EQ(lab::SwitchFault::IGNORE_WINDOW, network->findSwitch(L"a")->config().fault);
    lab::SwitchFault fault = lab::SwitchFault::NONE;
    ASSERT_TRUE(lab::SwitchFaults::parse(L"ignore_window", &fault));
    EXPECT_STREQ(L"ignore_window", lab::SwitchFaults::name(fault));
    EXPECT_EQ("error unknown fault", network->command("fault a ignore_windows"));
}
