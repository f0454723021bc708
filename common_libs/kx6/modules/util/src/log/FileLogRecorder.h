#pragma once

#include <functional>

#include "core/src/misc/DateTime.h"
#include "core/src/value/String.h"
#include "util/src/log/ILogRecorder.h"

namespace kx {
namespace util {

// Daily text files under a directory: every line goes to D/log/<date>.log,
// warnings also to D/warn/<date>.log and errors to D/error/<date>.log. Each
// line is echoed to the console. Files are opened, appended and closed per
// call; a directory or file that cannot be written is skipped silently.
class FileLogRecorder : public ILogRecorder {
public:
    enum class Level { INFO, WARN, ERROR };

    explicit FileLogRecorder(const kx::core::String& directory);

    void info(const kx::core::String& text) override;
    void warn(const kx::core::String& text) override;
    void error(const kx::core::String& text) override;

    // Writes one line stamped with the given time.
    void record(Level level, const kx::core::String& text, const kx::core::DateTime& time);

    const kx::core::String& directory() const { return m_directory; }

    // Optional time source (tests); empty means DateTime::now().
    std::function<kx::core::DateTime()> clock;
    // Console echo; on by default.
    bool consoleEnabled = true;

private:
    kx::core::DateTime _now() const;
    void _appendTo(const wchar_t* subdirectory, const kx::core::String& date,
                   const kx::core::Binary& line);

    kx::core::String m_directory;
};

}  // namespace util
}  // namespace kx
