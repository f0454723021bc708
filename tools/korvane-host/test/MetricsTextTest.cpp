#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MetricsText.h"

using korvane_host::MetricsText;

namespace {

const char* const FULL_TARGET =
    "{\"target_id\":7,\"switch\":\"127.*.*.1:7101\",\"state\":\"open\",\"tcp_connections\":2,"
    "\"udp_peers\":1,\"received_bytes\":3145728,\"sent_bytes\":12,\"received_packets\":40,"
    "\"sent_packets\":3,\"received_rate\":1536,\"sent_rate\":0,\"failovers\":1,"
    "\"latency_ms\":25,\"failures\":{\"select\":0,\"connect\":2,\"refused\":1,\"timeout\":0,"
    "\"silent\":4},\"last_error\":\"\"}";

std::string status(const std::string& targets) {
    return "{\"started\":true,\"running\":true,\"targets\":[" + targets + "]}";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

bool hasLine(const std::string& text, const std::string& line) {
    for (const std::string& l : lines(text)) {
        if (l == line) return true;
    }
    return false;
}

}  // namespace

TEST(MetricsTextTest, SamplesFromStatus) {
    MetricsText::Process process;
    process.startTimeSeconds = 1765000000;
    process.version = "1.0.0";
    struct Case {
        std::string json;
        std::vector<std::string> present;
        std::vector<std::string> absent;  // prefixes no line may start with
    };
    const Case cases[] = {
        {status(FULL_TARGET),
         {"korvane_build_info{version=\"1.0.0\"} 1", "korvane_process_start_time_seconds 1765000000",
          "korvane_started 1", "korvane_running 1",
          "korvane_tunnel_state{target=\"7\",state=\"open\"} 1",
          "korvane_tunnel_state{target=\"7\",state=\"idle\"} 0",
          "korvane_tunnel_switch_info{target=\"7\",switch=\"127.*.*.1:7101\"} 1",
          "korvane_tunnel_received_bytes_total{target=\"7\"} 3145728",
          "korvane_tunnel_sent_bytes_total{target=\"7\"} 12",
          "korvane_tunnel_received_packets_total{target=\"7\"} 40",
          "korvane_tunnel_sent_packets_total{target=\"7\"} 3",
          "korvane_tunnel_tcp_connections{target=\"7\"} 2", "korvane_tunnel_udp_peers{target=\"7\"} 1",
          "korvane_tunnel_failovers_total{target=\"7\"} 1",
          "korvane_tunnel_switch_latency_seconds{target=\"7\"} 0.025000000000000001",
          "korvane_tunnel_failures_total{target=\"7\",kind=\"connect\"} 2",
          "korvane_tunnel_failures_total{target=\"7\",kind=\"silent\"} 4",
          "korvane_tunnel_failures_total{target=\"7\",kind=\"select\"} 0",
          "# TYPE korvane_tunnel_received_bytes_total counter",
          "# TYPE korvane_tunnel_tcp_connections gauge"},
         {}},
        // An unbound target from an older status: no latency sample, zero counters.
        {status("{\"target_id\":8,\"switch\":\"none\",\"state\":\"opening\",\"latency_ms\":-1}"),
         {"korvane_tunnel_state{target=\"8\",state=\"opening\"} 1",
          "korvane_tunnel_switch_info{target=\"8\",switch=\"none\"} 1",
          "korvane_tunnel_sent_packets_total{target=\"8\"} 0",
          "korvane_tunnel_failures_total{target=\"8\",kind=\"timeout\"} 0"},
         {"korvane_tunnel_switch_latency_seconds{"}},
        // Label values are escaped.
        {status("{\"target_id\":9,\"switch\":\"a\\\"b\\\\c\\nd\",\"state\":\"closed\"}"),
         {"korvane_tunnel_switch_info{target=\"9\",switch=\"a\\\"b\\\\c\\nd\"} 1"},
         {}},
        // Nothing running, or nothing readable: process series only.
        {"{\"started\":false,\"running\":false,\"targets\":[]}",
         {"korvane_started 0", "korvane_running 0", "korvane_build_info{version=\"1.0.0\"} 1"},
         {"korvane_tunnel_state{"}},
        {"not json", {"korvane_started 0", "# TYPE korvane_tunnel_state gauge"}, {"korvane_tunnel_state{"}},
        {"{\"started\":true,\"running\":true,\"targets\":[1,\"x\",null]}", {"korvane_started 1"},
         {"korvane_tunnel_state{"}},
        {"{\"started\":true,\"running\":true,\"targets\":{\"target_id\":1}}", {"korvane_running 1"},
         {"korvane_tunnel_state{"}},
        // Fields of the wrong type read as 0 and no state is current.
        {status("{\"target_id\":\"x\",\"state\":3,\"failures\":[5],\"received_bytes\":\"many\"}"),
         {"korvane_tunnel_state{target=\"0\",state=\"open\"} 0",
          "korvane_tunnel_received_bytes_total{target=\"0\"} 0",
          "korvane_tunnel_failures_total{target=\"0\",kind=\"connect\"} 0"},
         {}},
    };
    for (const Case& c : cases) {
        const std::string text = MetricsText::render(c.json, process);
        for (const std::string& line : c.present) EXPECT_TRUE(hasLine(text, line)) << line << "\n" << text;
        for (const std::string& prefix : c.absent) {
            for (const std::string& line : lines(text))
                EXPECT_NE(line.rfind(prefix, 0), 0u) << line;
        }
        // Every metric family is announced once, before its samples.
        std::vector<std::string> typed;
        for (const std::string& line : lines(text)) {
            if (line.rfind("# TYPE ", 0) == 0) {
                const std::string name = line.substr(7, line.find(' ', 7) - 7);
                for (const std::string& t : typed) EXPECT_NE(t, name);
                typed.push_back(name);
            } else if (line[0] != '#') {
                ASSERT_FALSE(typed.empty());
                EXPECT_EQ(line.rfind(typed.back(), 0), 0u) << line;
            }
        }
    }
}

TEST(MetricsTextTest, TargetsAreCapped) {
    std::string targets;
    for (size_t i = 0; i < MetricsText::MAX_TARGETS + 10; ++i)
        targets += (i ? "," : "") + std::string("{\"target_id\":") + std::to_string(i) + "}";
    const std::string text = MetricsText::render(status(targets), {});
    size_t samples = 0;
    for (const std::string& line : lines(text)) samples += line.rfind("korvane_tunnel_udp_peers{", 0) == 0;
    EXPECT_EQ(samples, MetricsText::MAX_TARGETS);
}
