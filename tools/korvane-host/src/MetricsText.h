#pragma once

#include <cstddef>
#include <string>

namespace korvane_host {

// Renders the SDK's status JSON (the korvane_status() snapshot) as Prometheus
// text exposition: process series first, then one group of series per
// target, labelled target="<id>". Pure, so it is tested from JSON alone.
class MetricsText {
public:
    // A larger status is cut to this many targets, so one scrape stays small.
    static constexpr size_t MAX_TARGETS = 256;

    struct Process {
        double startTimeSeconds = 0;  // Unix time the host process started
        std::string version;
    };

    static std::string render(const std::string& statusJson, const Process& process);
    // Label value escaping: backslash, double quote and line feed.
    static std::string escapeLabel(const std::string& value);
};

}  // namespace korvane_host
