#pragma once

namespace tunnel {

// The platform's system log: one printf-style line to standard error,
// stamped with the date, time and process id.
class SystemLog {
public:
    static void write(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

}  // namespace tunnel
