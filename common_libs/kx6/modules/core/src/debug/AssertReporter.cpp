#include "core/src/debug/AssertReporter.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/src/misc/DateTime.h"

namespace kx {
namespace core {

namespace {
std::atomic<AssertReporter::Hook> g_hook{&AssertReporter::reportAssertion};
}  // namespace

std::string AssertReporter::executablePath() {
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
    char target[4096];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return std::string();
    return std::string(target, static_cast<size_t>(n));
}

std::string AssertReporter::assertLogPath() {
    std::string exe = executablePath();
    size_t slash = exe.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : exe.substr(0, slash);
    return dir + "/assert.log";
}

void AssertReporter::reportAssertion(const char* expression, const char* file, int line) {
    std::string text = "Program assert lunched.\r\n";
    text += "- Time:   " + DateTime::now().dateTimeText().toStdString() + "\r\n";
    text += std::string("- File:   ") + (file ? file : "") + "\r\n";
    text += "- Line:   " + std::to_string(line) + "\r\n";
    text += std::string("- Report: ") + (expression ? expression : "") + "\r\n";
    text += "\r\n";
    FILE* f = fopen(assertLogPath().c_str(), "ab");
    if (f) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

void AssertReporter::fail(const char* expression, const char* file, int line) {
    Hook h = g_hook.load();
    if (h) h(expression, file, line);
    fprintf(stderr, "Fatal: %s (%s:%d)\n", expression ? expression : "", file ? file : "", line);
    // _exit, not exit: the failing thread must not run static destructors
    // under threads that are still using those objects.
    fflush(nullptr);
    _exit(-1);
}

void AssertReporter::setHook(Hook h) {
    g_hook.store(h ? h : &AssertReporter::reportAssertion);
}

AssertReporter::Hook AssertReporter::hook() {
    return g_hook.load();
}

}  // namespace core
}  // namespace kx
