#pragma once

#include <string>
#include <vector>

#include "core/src/value/String.h"
#include "util/src/log/ILogRecorder.h"

namespace e2e {

// Keeps every log line of the SDK's client, "I ", "W " or "E " first.
class LineLogger : public kx::util::ILogRecorder {
public:
    void info(const kx::core::String& text) override { lines.push_back("I " + text.toStdString()); }
    void warn(const kx::core::String& text) override { lines.push_back("W " + text.toStdString()); }
    void error(const kx::core::String& text) override {
        lines.push_back("E " + text.toStdString());
    }
    bool hasPrefix(const std::string& prefix) const {
        for (const auto& line : lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
    }
    std::string all() const {
        std::string out;
        for (const auto& line : lines) out += line + "\n";
        return out;
    }
    std::vector<std::string> lines;
};

}  // namespace e2e
