#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "core/src/time/Clock.h"
#include "lab_network/LabNetwork.h"

namespace labtest {

// A lab started from a JSON configuration on its own loop, on the test clock.
class LabNetworkTest : public ::testing::Test {
protected:
    // Starts the lab; fails the test on a bad configuration.
    void startLab(const wchar_t* json) {
        kx::core::Clock::resetForTests();
        selector.reset(new kx::net::SocketEventSelector(20));
        network.reset(new lab::LabNetwork(selector.get()));
        lab::LabConfig config;
        kx::core::String error;
        ASSERT_TRUE(lab::LabConfig::fromJson(json, &config, &error)) << error.toStdString();
        ASSERT_TRUE(network->start(config, &error)) << error.toStdString();
    }
    // Derived fixtures drop their own connections first, then call this.
    void TearDown() override {
        network.reset();
        selector.reset();
        kx::core::Clock::resetForTests();
    }

    // Runs the loop and the lab's tick until done() holds or the limit passes.
    bool pumpUntil(const std::function<bool()>& done, int limitMs = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            selector->select(2);
            network->tick();
        }
        return true;
    }

    std::unique_ptr<kx::net::SocketEventSelector> selector;
    std::unique_ptr<lab::LabNetwork> network;
};

}  // namespace labtest
