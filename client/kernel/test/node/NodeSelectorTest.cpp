#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/node/Node.h"
#include "tunnel_client/node/NodeSelector.h"

using kx::core::Clock;
using kx::net::IpAddress;
using kx::net::SocketAddress;
using tunnel::Error;
using tunnel::Node;
using tunnel::NodeSelector;

namespace {

typedef NodeSelector::Candidate Candidate;

class NodeSelectorTest : public ::testing::Test {
protected:
    Node* node(const char* ip, const wchar_t* type) {
        nodes.emplace_back(new Node(SocketAddress(IpAddress(ip), 443), type));
        return nodes.back().get();
    }
    Node* chooseQuietly(const std::vector<Candidate>& candidates, bool bandwidthIsHigh,
                        std::string* console = nullptr) {
        ::testing::internal::CaptureStdout();
        Node* winner = NodeSelector::choose(candidates, bandwidthIsHigh);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (console) *console = out;
        return winner;
    }

    std::vector<std::unique_ptr<Node>> nodes;
};

TEST_F(NodeSelectorTest, PassesPreferBandwidthThenStandardThenDefenceThenBackup) {
    Node* standard = node("10.20.30.40", L"standard");
    Node* bandwidth = node("10.0.0.2", L"bandwidth");
    Node* defence = node("10.0.0.3", L"defence");
    Node* odd = node("10.0.0.4", L"premium");

    std::string console;
    EXPECT_EQ(chooseQuietly({{standard, false, 23}, {bandwidth, false, 50}}, true, &console),
              bandwidth);
    EXPECT_EQ(chooseQuietly({{standard, false, 23}, {bandwidth, false, 50}}, false, &console),
              standard);
    EXPECT_NE(console.find(" [Selector] Compare 10.*.*.40:443 23ms for standard\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("bandwidth"), std::string::npos) << console;

    // Asked for bandwidth but none measured: that pass says so and standard wins.
    EXPECT_EQ(chooseQuietly({{standard, false, 40}, {bandwidth, false, -1}}, true, &console),
              standard);
    EXPECT_NE(console.find(" [Selector] No valid bandwidth nodes"), std::string::npos);

    // An unknown type is never an ordinary candidate, but may win as a backup.
    EXPECT_EQ(chooseQuietly({{odd, false, 1}, {defence, false, 90}}, false), defence);
    EXPECT_EQ(chooseQuietly({{odd, false, 1}}, false, &console), nullptr);
    EXPECT_NE(console.find(" [Selector] No valid backup nodes"), std::string::npos);
    EXPECT_EQ(chooseQuietly({{odd, true, 1}, {standard, true, 5}}, false), odd);
    // A measured node beats a faster one that has no sample yet.
    EXPECT_EQ(chooseQuietly({{bandwidth, false, -1}, {defence, false, 70}}, true), defence);
}

TEST_F(NodeSelectorTest, TiesGoToTheEarlierNodeAndEmptyTypeIsStandard) {
    Node* first = node("10.0.0.1", L"");
    Node* second = node("10.0.0.2", L"standard");
    EXPECT_EQ(chooseQuietly({{first, false, 30}, {second, false, 30}}, false), first);
    EXPECT_EQ(chooseQuietly({{second, false, 30}, {first, false, 30}}, false), second);
    EXPECT_EQ(chooseQuietly({{second, false, 31}, {first, false, 30}}, false), first);
}

// Regression: a half-dead switch (answers latency queries, drops tunnel
// traffic) was chosen again right after it failed, because it still had the
// lowest latency of its pass.
TEST_F(NodeSelectorTest, RecentlyFailedSwitchGoesAfterEveryOtherMeasuredCandidate) {
    Node* failed = node("127.0.0.1", L"standard");
    Node* slow = node("127.0.0.2", L"standard");
    Node* slower = node("127.0.0.3", L"");
    Node* defence = node("127.0.0.4", L"defence");
    const struct {
        const char* name;
        std::vector<Candidate> candidates;
        Node* winner;
    } cases[] = {
        {"another measured node of the pass wins",
         {{failed, false, 5, true}, {slow, false, 40}, {slower, false, 90}},
         slow},
        {"the failed node loses a tie",
         {{failed, false, 40, true}, {slow, false, 40}},
         slow},
        {"alone with a sample it still wins its pass",
         {{failed, false, 5, true}, {slow, false, -1}, {defence, false, 1}},
         failed},
        {"whole block demoted: the backup pass applies the same rule",
         {{failed, true, 5, true}, {slow, true, 30}},
         slow},
        {"two failed nodes keep latency order among themselves",
         {{slower, true, 70, true}, {failed, true, 20, true}},
         failed},
    };
    for (const auto& c : cases) EXPECT_EQ(chooseQuietly(c.candidates, false), c.winner) << c.name;
}

TEST_F(NodeSelectorTest, RaceWithoutCandidatesFailsOnceAfterTheDecisionDelay) {
    Clock::freeze(7000000);
    kx::net::SocketEventSelector selector(50);
    NodeSelector race(&selector, {}, {}, tunnel::LoginInfo(), 1, L"", true);
    std::vector<Error> failures;
    race.onFailed = [&](const Error& e) { failures.push_back(e); };
    race.onSelected = [&](Node*) { ADD_FAILURE() << "nothing to select"; };

    race.tick();
    EXPECT_TRUE(race.isRunning());
    Clock::advance(NodeSelector::DECISION_DELAY_MS);
    std::string console;
    ::testing::internal::CaptureStdout();
    race.tick();
    race.tick();
    console = ::testing::internal::GetCapturedStdout();
    Clock::resetForTests();

    EXPECT_FALSE(race.isRunning());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], Error(-1, L""));
    for (const char* kind : {"bandwidth", "standard", "defence", "backup"}) {
        EXPECT_NE(console.find(std::string(" [Selector] No valid ") + kind + " nodes"),
                  std::string::npos)
            << kind;
    }
}

}  // namespace
