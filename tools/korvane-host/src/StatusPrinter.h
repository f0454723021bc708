#pragma once

#include <string>
#include <vector>

namespace korvane_host {

// Turns the SDK's status JSON into what korvane-host prints: one line per
// target, or the target objects as JSON lines.
class StatusPrinter {
public:
    // "[Host] Target #1 switch 127.*.*.1:7101, open, tcp 1, udp 0, received
    // 1.5 KB/s (2.0 MB), sent 0 B/s (12 B), failovers 0[, last error: ...]";
    // a single "[Host] not running" line when nothing runs.
    static std::vector<std::string> lines(const std::string& statusJson);
    // One compact JSON object per target.
    static std::vector<std::string> jsonLines(const std::string& statusJson);
    // "512 B", "1.5 KB", "2.0 MB", "3.1 GB".
    static std::string sizeText(long long bytes);
};

}  // namespace korvane_host
