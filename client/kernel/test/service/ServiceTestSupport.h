#pragma once

#include <string>
#include <vector>

#include "core/src/value/String.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {
namespace testing {

// Keeps every log line with its level, for checks of the exact texts.
class RecordingLogger : public kx::util::ILogRecorder {
public:
    void info(const kx::core::String& text) override { lines.push_back("I " + text.toStdString()); }
    void warn(const kx::core::String& text) override { lines.push_back("W " + text.toStdString()); }
    void error(const kx::core::String& text) override {
        lines.push_back("E " + text.toStdString());
    }

    bool has(const std::string& line) const { return count(line) > 0; }
    int count(const std::string& line) const {
        int n = 0;
        for (const auto& l : lines) n += l == line ? 1 : 0;
        return n;
    }
    bool hasPrefix(const std::string& prefix) const {
        for (const auto& l : lines) {
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
    }
    std::string all() const {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }

    std::vector<std::string> lines;
};

}  // namespace testing
}  // namespace tunnel
