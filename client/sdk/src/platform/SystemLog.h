#pragma once

namespace tunnel {

// The platform's system log: one printf-style line to standard error,
// stamped with the date, time and process id.
class SystemLog {
public:
    static void write(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // One line as it is; the SDK's console lines go here, never to standard output.
    static void line(const char* utf8);
};

}  // namespace tunnel
