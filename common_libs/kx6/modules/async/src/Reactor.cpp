#include "async/src/Reactor.h"

#include <climits>
#include <thread>

#include "async/src/detail/CompletionQueue.h"
#include "async/src/detail/DelayTable.h"
#include "async/src/detail/Flight.h"
#include "core/src/debug/Assert.h"

namespace kx {
namespace async {

struct Reactor::Impl {
    detail::CompletionQueue queue;
    detail::DelayTable delays;
    int nextDelayId = 1;
    detail::Flight flight;
    bool running = false;
};

namespace {
// Smallest of two waits where a negative value means "no limit".
int minWait(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return a < b ? a : b;
}
}  // namespace

Reactor::Reactor() : m_impl(new Impl) {}

Reactor::~Reactor() {
    KX_ASSERT(this->idle());
}

void Reactor::post(std::function<void()> fn) {
    if (!fn) return;
    m_impl->flight.add();
    m_impl->queue.push(std::move(fn));
}

int Reactor::delay(std::function<void(bool)> callback, int ms) {
    if (!callback || ms < 0) return 0;
    // Ids wrap from INT_MAX back to 1 and skip those still in use; the table
    // can never hold INT_MAX items, so this ends.
    int id;
    do {
        id = m_impl->nextDelayId;
        m_impl->nextDelayId = (id == INT_MAX) ? 1 : id + 1;
    } while (m_impl->delays.contains(id));
    m_impl->delays.add(id, ms, std::move(callback));
    m_impl->flight.add();
    return id;
}

void Reactor::cancelDelay(int id) {
    if (id == 0) return;
    m_impl->delays.cancel(id, &m_impl->queue);
}

void Reactor::runOnce(int timeoutMs) {
    if (m_impl->running) return;
    m_impl->running = true;
    _drain();
    int waitMs = minWait(timeoutMs, m_impl->delays.nextDeadline());
    waitMs = minWait(waitMs, nextDeadline());
    wait(waitMs);
    _drain();
    m_impl->delays.expire(&m_impl->queue);
    _drain();
    afterWait();
    _drain();
    m_impl->running = false;
}

bool Reactor::idle() const {
    return !m_impl->running && m_impl->flight.pending() == 0;
}

int Reactor::inflight() const {
    return m_impl->flight.pending();
}

void Reactor::wait(int ms) {
    // Without a limit nothing could ever wake this thread (work only arrives
    // from this thread), so an unlimited wait returns at once.
    if (ms >= 1) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int Reactor::nextDeadline() {
    return -1;
}

void Reactor::afterWait() {}

void Reactor::_addFlight() {
    m_impl->flight.add();
}

void Reactor::_queueCompletion(std::function<void()> fn) {
    m_impl->queue.push(std::move(fn));
}

void Reactor::_drain() {
    std::function<void()> fn;
    while (m_impl->queue.pop(&fn)) {
        m_impl->flight.done();
        if (fn) fn();
    }
}

}  // namespace async
}  // namespace kx
