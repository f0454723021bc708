#pragma once

#include <memory>

#include "client/NodeTestSupport.h"
#include "net/src/socket/IpAddress.h"
#include "service/ServiceTestSupport.h"
#include "tunnel_client/TunnelClient.h"

namespace nodetest {

// A tunnel client (target 7, no forwards, no key) on the node test's
// selector and login. Nothing ticks it unless the test adds its tick.
class TunnelClientFixture : public NodeTest {
protected:
    void SetUp() override {
        NodeTest::SetUp();
        client.reset(new tunnel::TunnelClient(&logger, selector.get(), login, 7,
                                              kx::net::IpAddress("127.0.0.1"), {}, L"", false));
    }
    void TearDown() override {
        ticks.clear();
        client.reset();
        NodeTest::TearDown();
    }

    tunnel::testing::RecordingLogger logger;
    std::unique_ptr<tunnel::TunnelClient> client;
};

}  // namespace nodetest
