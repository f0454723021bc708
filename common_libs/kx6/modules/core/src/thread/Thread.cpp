#include "core/src/thread/Thread.h"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <utility>

#include "core/src/debug/Assert.h"
#include "core/src/exception/Exception.h"

namespace kx {
namespace core {

namespace {
const char UNHANDLED[] = "Unhandled thread exception: ";

[[noreturn]] void reportUnhandled(const std::string& what) {
    std::string text = UNHANDLED + what;
    std::string exe = AssertReporter::executablePath();
    AssertReporter::fail(text.c_str(), exe.c_str(), -1);
}
}  // namespace

Thread::Thread() : m_state(State::STOPPED) {}

Thread::~Thread() {
    stop(-1);
    KX_ASSERT(m_state == State::STOPPED);
}

bool Thread::start(std::function<void()> body) {
    if (m_state.load() != State::STOPPED) return false;
    m_sem.drain();
    m_body = std::move(body);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, &Thread::_entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        m_body = nullptr;
        return false;
    }
    KX_ASSERT(m_sem.wait());
    return true;
}

void* Thread::_entry(void* self) {
    static_cast<Thread*>(self)->_run();
    return nullptr;
}

void Thread::_run() {
    srand(static_cast<unsigned>(time(nullptr)) ^
          static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())));
    // The body and what it captured die on this thread, before STOPPED is visible.
    std::function<void()> body = std::move(m_body);
    m_body = nullptr;
    m_state.store(State::RUNNING);
    KX_ASSERT(m_sem.signal());

    try {
        if (body) body();
    } catch (const Exception& e) {
        reportUnhandled(e.describe().toStdString());
    } catch (int value) {
        reportUnhandled("int(" + std::to_string(value) + ")");
    } catch (const char* text) {
        reportUnhandled(text ? text : "");
    } catch (...) {
        reportUnhandled("unknown");
    }
    body = nullptr;

    KX_ASSERT(m_sem.signal());
    // Last touch of this object: the owner may destroy it right after.
    m_state.store(State::STOPPED);
}

void Thread::stop(int32_t timeoutMs) {
    State expected = State::RUNNING;
    m_state.compare_exchange_strong(expected, State::STOPPING);
    if (m_state.load() == State::STOPPED) return;
    if (!m_sem.wait(timeoutMs)) return;
    while (m_state.load() != State::STOPPED) sched_yield();
}

}  // namespace core
}  // namespace kx
