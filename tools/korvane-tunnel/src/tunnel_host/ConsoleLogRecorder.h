#pragma once

#include "core/src/value/String.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

// Log lines on standard output only, in the console form of the file
// recorder ("HH:MM:SS text", "HH:MM:SS <WARN> text", "HH:MM:SS <ERR> text").
class ConsoleLogRecorder : public kx::util::ILogRecorder {
public:
    void info(const kx::core::String& text) override;
    void warn(const kx::core::String& text) override;
    void error(const kx::core::String& text) override;

    // Console lines of the host program that are not log records.
    static void print(const kx::core::String& text);

private:
    static void _print(const wchar_t* tag, const kx::core::String& text);
};

}  // namespace tunnel
