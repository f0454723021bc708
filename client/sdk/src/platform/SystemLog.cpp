#include "platform/SystemLog.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace tunnel {

void SystemLog::write(const char* format, ...) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d korvane[%d] ",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000),
                  static_cast<int>(getpid()));

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&message[0], message.size() + 1, format, args);
    va_end(args);

    // One write call, so that concurrent lines do not interleave.
    const std::string line = stamp + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tunnel

namespace tunnel {

void SystemLog::line(const char* utf8) {
    write("%s", utf8);
}

}  // namespace tunnel
