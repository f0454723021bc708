#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "client/NodeTestSupport.h"
#include "tunnel_client/client/LatencyDetector.h"

using kx::core::Array;
using kx::core::Binary;
using kx::core::String;
using nodetest::message;
using nodetest::Message;
using nodetest::RawNode;
using tunnel::LatencyDetector;

namespace {

class LatencyDetectorTest : public nodetest::NodeTest {
protected:
    void TearDown() override {
        detector.reset();
        node.reset();
        NodeTest::TearDown();
    }
    void measure(const kx::net::SocketAddress& address, int count) {
        detector.reset(new LatencyDetector(selector.get(), address, login, 99, L"17", count));
    }
    bool done() const { return !detector->isQuerying(); }

    // A node that logs in and answers the queries with the given latencies
    // (the last one repeats), each after roundTripMs of test time.
    void scripted(std::vector<std::string> answers, int roundTripMs = 0) {
        node.reset(new RawNode(selector.get()));
        node->acceptLogins();
        auto logins = node->onCall;
        auto next = std::make_shared<size_t>(0);
        node->onCall = [logins, answers, next, roundTripMs](RawNode& n, const Message& m) {
            if (RawNode::method(m) != L"latency_query") return logins(n, m);
            kx::core::Clock::advance(roundTripMs);
            const std::string& a = answers[std::min(*next, answers.size() - 1)];
            ++*next;
            if (a.rfind("error:", 0) == 0) {
                n.sendReturn(message({{L"error_code", a.c_str() + 6}, {L"error_msg", "nat down"}}));
            } else {
                n.sendReturn(message({{L"latency", a.c_str()}}));
            }
        };
    }
    int queries() const {
        int n = 0;
        for (const Message& m : node->calls) n += RawNode::method(m) == L"latency_query";
        return n;
    }

    std::unique_ptr<RawNode> node;
    std::unique_ptr<LatencyDetector> detector;
};

Array<int> samples(std::initializer_list<int> values) {
    return Array<int>(values);
}

}  // namespace

TEST(LatencySummary, RaisesTheAverageByAtMostSevenAndAHalf) {
    EXPECT_EQ(-1, LatencyDetector::summarize(Array<int>()));
    EXPECT_EQ(63, LatencyDetector::summarize(samples({40, 40, 40, 100})));
    EXPECT_EQ(11, LatencyDetector::summarize(samples({10, 11})));
    EXPECT_EQ(40, LatencyDetector::summarize(samples({40})));
    EXPECT_EQ(1, LatencyDetector::summarize(samples({0, 1})));  // 0.5 + 0.25 + 0.5
}

TEST(LatencySummary, HugeSamplesDoNotOverflowTheSum) {
    Array<int> huge;
    for (int i = 0; i < 20; ++i) huge.append(INT_MAX);
    EXPECT_EQ(INT_MAX, LatencyDetector::summarize(huge));
    EXPECT_EQ(2000000000, LatencyDetector::summarize(samples({2000000000, 2000000000})));
}

TEST_F(LatencyDetectorTest, TwentyQueriesAgainstTheLabSwitch) {
    kx::core::Clock::freeze(1000000);  // round trips of exactly 0 ms
    measure(server->address(), 20);
    EXPECT_TRUE(detector->isQuerying());
    EXPECT_EQ(-1, detector->latency());
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(20, detector->samples().size());
    EXPECT_EQ(30, detector->latency());
    EXPECT_EQ(0, detector->errorCode());
    // The finished measurement resets its connection.
    ASSERT_TRUE(pumpUntil([this]() { return server->sessionCount() == 0; }));
}

TEST_F(LatencyDetectorTest, RoundTripIsAddedToEachAnswer) {
    // Answers of 30 ms, each held back by the switch for 10 ms of test time.
    kx::core::Clock::freeze(5000);
    server->setFault(lab::SwitchFault::SLOW);
    server->setSlowMs(10);
    measure(server->address(), 20);
    for (int i = 0; i < 100 && !done(); ++i) {
        pumpFor(6);
        kx::core::Clock::advance(10);
    }
    ASSERT_TRUE(done());
    EXPECT_EQ(
        samples({40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40, 40}),
        detector->samples());
    EXPECT_EQ(40, detector->latency());
}

TEST_F(LatencyDetectorTest, CountBelowTwoMakesOneQuery) {
    scripted({"12"});
    measure(node->address(), 0);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(1, queries());
    EXPECT_EQ(1, detector->samples().size());
}

TEST_F(LatencyDetectorTest, NoNatReadyDiscardsEarlierSamples) {
    scripted({"40", "40", "40", "-1"});
    measure(node->address(), 20);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(4, queries());
    EXPECT_TRUE(detector->samples().isEmpty());
    EXPECT_EQ(-1, detector->latency());
    EXPECT_EQ(-1, detector->errorCode());
    EXPECT_EQ(String(L"No nats are ready!"), detector->errorMessage());
}

TEST_F(LatencyDetectorTest, NodeErrorKeepsEarlierSamples) {
    scripted({"20", "22", "error:503"});
    measure(node->address(), 20);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(2, detector->samples().size());
    EXPECT_EQ(503, detector->errorCode());
    EXPECT_EQ(String(L"nat down"), detector->errorMessage());
    EXPECT_GE(detector->latency(), 21);
}

TEST_F(LatencyDetectorTest, HugeLatencyAnswerDoesNotOverflowTheSample) {
    scripted({"99999999999999999999"}, 1);
    measure(node->address(), 20);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    ASSERT_EQ(20, detector->samples().size());
    EXPECT_EQ(INT_MAX, detector->samples()[0]);
    EXPECT_EQ(INT_MAX, detector->latency());
}

TEST_F(LatencyDetectorTest, RefusedOrDeniedSwitchEndsTheMeasurement) {
    server->setFault(lab::SwitchFault::REFUSE);
    measure(server->address(), 20);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(-1, detector->errorCode());
    EXPECT_EQ(String(), detector->errorMessage());
    EXPECT_EQ(-1, detector->latency());

    server->setFault(lab::SwitchFault::NONE);
    login.accessKey = L"wrong";
    measure(server->address(), 20);
    ASSERT_TRUE(pumpUntil([this]() { return done(); }));
    EXPECT_EQ(401, detector->errorCode());
    EXPECT_EQ(-1, detector->latency());
}
