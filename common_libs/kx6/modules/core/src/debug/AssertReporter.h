#pragma once

#include <string>

namespace kx {
namespace core {

// Writes fatal reports to "assert.log" beside the executable.
class AssertReporter {
public:
    typedef void (*Hook)(const char* expression, const char* file, int line);

    // Reports through the current hook, then exits with status -1.
    [[noreturn]] static void fail(const char* expression, const char* file, int line);
    // The default hook: appends the report to assertLogPath().
    static void reportAssertion(const char* expression, const char* file, int line);
    static void setHook(Hook hook);
    static Hook hook();
    // Directory of the executable + "/assert.log".
    static std::string assertLogPath();
    // Target of /proc/<pid>/exe, empty when unreadable.
    static std::string executablePath();
};

}  // namespace core
}  // namespace kx
