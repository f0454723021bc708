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

    // A lab switch on its own loopback address, e.g. "127.2.0.1": switches
    // meant to sit in different failure blocks need different /16s.
    lab::SwitchServer* addSwitchAt(const char* ip, int32_t latency = 30,
                                   lab::SwitchFault fault = lab::SwitchFault::NONE) {
        lab::SwitchConfig config;
        config.listen = kx::net::SocketAddress(kx::net::IpAddress(ip), 0);
        config.accessKeys.append(ACCESS_KEY);
        config.latency = latency;
        config.fault = fault;
        kx::core::String error;
        lab::SwitchServer* added = switches->add(config, &error);
        EXPECT_NE(nullptr, added) << error.toStdString();
        return added;
    }

    tunnel::testing::RecordingLogger logger;
    std::unique_ptr<tunnel::TunnelClient> client;
};

}  // namespace nodetest
