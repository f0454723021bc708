#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StatusPrinter.h"

using korvane_host::StatusPrinter;

TEST(StatusPrinterTest, LinesPerTarget) {
    struct Case {
        const char* json;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"{\"started\":false,\"running\":false,\"targets\":[]}", {"[Host] not running"}},
        {"{\"started\":true,\"running\":false,\"targets\":[]}", {"[Host] suspended"}},
        {"{\"started\":true,\"running\":true,\"targets\":[]}", {"[Host] running, no targets"}},
        {"not json", {"[Host] unreadable status: not json"}},
        {"{\"started\":true,\"running\":true,\"targets\":[{\"target_id\":7,"
         "\"switch\":\"127.*.*.1:7101\",\"state\":\"open\",\"tcp_connections\":2,"
         "\"udp_peers\":1,\"received_bytes\":3145728,\"sent_bytes\":12,"
         "\"received_rate\":1536,\"sent_rate\":0,\"failovers\":1,\"last_error\":\"\"},"
         "{\"target_id\":8,\"switch\":\"none\",\"state\":\"opening\",\"failovers\":0,"
         "\"last_error\":\"Not alive\"}]}",
         {"[Host] Target #7 switch 127.*.*.1:7101, open, tcp 2, udp 1, received 1.5 KB/s "
          "(3.0 MB), sent 0 B/s (12 B), failovers 1",
          "[Host] Target #8 switch none, opening, tcp 0, udp 0, received 0 B/s (0 B), sent 0 B/s "
          "(0 B), failovers 0, last error: Not alive"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(StatusPrinter::lines(c.json), c.lines);
    }
}

TEST(StatusPrinterTest, JsonLinesAreOneObjectPerTarget) {
    const auto lines = StatusPrinter::jsonLines(
        "{\"running\":true,\"targets\":[{\"target_id\":1,\"state\":\"open\"},"
        "{\"target_id\":2,\"state\":\"idle\"}]}");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"target_id\":1"), std::string::npos);
    EXPECT_NE(lines[1].find("\"state\":\"idle\""), std::string::npos);
    EXPECT_TRUE(StatusPrinter::jsonLines("{\"running\":false}").empty());
}

TEST(StatusPrinterTest, SizeText) {
    const std::pair<long long, const char*> cases[] = {
        {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KB"}, {1536, "1.5 KB"},
        {1048576, "1.0 MB"}, {5LL << 30, "5.0 GB"}, {3LL << 40, "3.0 TB"}, {5LL << 50, "5120.0 TB"}};
    for (const auto& c : cases) EXPECT_EQ(StatusPrinter::sizeText(c.first), c.second) << c.first;
}
