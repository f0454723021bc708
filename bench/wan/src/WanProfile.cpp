#include "WanProfile.h"

#include <cstdlib>
#include <sstream>

namespace wan {

bool WanProfile::apply(const std::string& setting, std::string* error) {
    size_t eq = setting.find('=');
    std::string key = setting.substr(0, eq);
    std::string text = eq == std::string::npos ? "" : setting.substr(eq + 1);
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || value < 0 || value > 1e7) {
        if (error) *error = "bad value in '" + setting + "'";
        return false;
    }
    if (key == "delay_ms") {
        delayUs = static_cast<int64_t>(value * 1000);
    } else if (key == "jitter_ms") {
        jitterUs = static_cast<int64_t>(value * 1000);
    } else if (key == "rate_mbit") {
        if (value < 0.01) {
            if (error) *error = "rate_mbit below 0.01";
            return false;
        }
        rateBitsPerS = static_cast<int64_t>(value * 1e6);
    } else if (key == "queue_ms") {
        queueUs = static_cast<int64_t>(value * 1000);
    } else if (key == "sockbuf_kib") {
        if (value < 4 || value > 65536) {
            if (error) *error = "sockbuf_kib: 4 to 65536";
            return false;
        }
        sockBufBytes = static_cast<int>(value * 1024);
    } else {
        if (error) *error = "unknown setting '" + key + "'";
        return false;
    }
    return true;
}

std::string WanProfile::describe() const {
    std::ostringstream out;
    out << "delay_ms=" << delayUs / 1000.0 << " jitter_ms=" << jitterUs / 1000.0
        << " rate_mbit=" << rateBitsPerS / 1e6 << " queue_ms=" << queueUs / 1000.0
        << " queue_bytes=" << queueBytes() << " sockbuf_kib=" << sockBufBytes / 1024;
    return out.str();
}

}  // namespace wan
