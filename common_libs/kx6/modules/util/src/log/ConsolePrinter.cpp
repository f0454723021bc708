#include "util/src/log/ConsolePrinter.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "core/src/value/Binary.h"

namespace kx {
namespace util {

namespace {
std::mutex& printLock() {
    static std::mutex lock;
    return lock;
}
std::atomic<ConsolePrinter::Sink> g_sink{nullptr};
}  // namespace

void ConsolePrinter::setSink(Sink sink) {
    g_sink.store(sink);
}

void ConsolePrinter::print(const kx::core::String& text) {
    kx::core::Binary utf8 = text.toUtf8();
    const Sink sink = g_sink.load();
    if (sink) {
        sink(utf8.c_str());
        return;
    }
    std::lock_guard<std::mutex> guard(printLock());

    sigset_t pipeOnly, previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);

    puts(utf8.c_str());
    // Flush while SIGPIPE is still blocked: a broken pipe shows up on write.
    fflush(stdout);

    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) &&
        !sigismember(&previous, SIGPIPE)) {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipeOnly, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace util
}  // namespace kx
