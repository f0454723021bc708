#include "async/src/SocketReactor.h"

#include <poll.h>

#include <thread>
#include <vector>

#include "async/src/detail/CompletionQueue.h"
#include "async/src/detail/WaitTable.h"
#include "core/src/time/Timer.h"

namespace kx {
namespace async {

struct SocketReactor::Impl {
    explicit Impl(int tickMs) : tick(tickMs) {}
    detail::WaitTable waits;
    std::vector<detail::FdInterest> interests;
    std::vector<pollfd> fds;
    core::Timer tick;
};

SocketReactor::SocketReactor(int tickMs) : m_sImpl(new Impl(tickMs)) {}

SocketReactor::~SocketReactor() = default;

void SocketReactor::waitReadable(int fd, std::function<void(bool)> callback, int timeoutMs) {
    _occupy(fd, SLOT_READ, std::move(callback), timeoutMs);
}

void SocketReactor::waitWritable(int fd, std::function<void(bool)> callback, int timeoutMs) {
    _occupy(fd, SLOT_WRITE, std::move(callback), timeoutMs);
}

void SocketReactor::waitExcept(int fd, std::function<void(bool)> callback, int timeoutMs) {
    _occupy(fd, SLOT_EXCEPT, std::move(callback), timeoutMs);
}

void SocketReactor::_occupy(int fd, int slot, std::function<void(bool)> callback, int timeoutMs) {
    if (!callback) return;
    if (timeoutMs == 0 || fd < 0 || !m_sImpl->waits.isFree(fd, slot)) {
        post([callback]() { callback(false); });
        return;
    }
    if (!m_sImpl->waits.occupy(fd, slot, callback, timeoutMs)) {
        post([callback]() { callback(false); });
        return;
    }
    _addFlight();
}

bool SocketReactor::isReadFree(int fd) const {
    return m_sImpl->waits.isFree(fd, SLOT_READ);
}

bool SocketReactor::isWriteFree(int fd) const {
    return m_sImpl->waits.isFree(fd, SLOT_WRITE);
}

bool SocketReactor::isExceptFree(int fd) const {
    return m_sImpl->waits.isFree(fd, SLOT_EXCEPT);
}

void SocketReactor::cancelWait(int fd, Slot slot) {
    detail::CompletionQueue done;
    m_sImpl->waits.cancel(fd, slot, &done);
    _deliver(&done);
}

void SocketReactor::release(int fd) {
    detail::CompletionQueue done;
    m_sImpl->waits.release(fd, &done);
    _deliver(&done);
}

void SocketReactor::_deliver(detail::CompletionQueue* done) {
    std::function<void()> fn;
    while (done->pop(&fn)) _queueCompletion(std::move(fn));
}

void SocketReactor::wait(int ms) {
    Impl& im = *m_sImpl;
    im.waits.collect(&im.interests);
    if (im.interests.empty()) {
        if (ms >= 1) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    im.fds.resize(im.interests.size());
    for (size_t i = 0; i < im.interests.size(); ++i) {
        im.fds[i].fd = im.interests[i].fd;
        im.fds[i].events = im.interests[i].events;
        im.fds[i].revents = 0;
    }
    int n = ::poll(im.fds.data(), static_cast<nfds_t>(im.fds.size()), ms < 0 ? -1 : ms);
    if (n <= 0) return;
    detail::CompletionQueue done;
    for (const pollfd& p : im.fds) {
        if (p.revents == 0) continue;
        if (p.revents & POLLNVAL) {
            // Closed behind our back: nothing will ever become ready.
            for (int slot = 0; slot < 3; ++slot) im.waits.complete(p.fd, slot, false, &done);
            continue;
        }
        const short failed = POLLERR | POLLHUP;
        if (p.revents & (POLLIN | failed)) im.waits.complete(p.fd, SLOT_READ, true, &done);
        if (p.revents & (POLLOUT | failed)) im.waits.complete(p.fd, SLOT_WRITE, true, &done);
        if (p.revents & POLLPRI) {
            im.waits.complete(p.fd, SLOT_EXCEPT, true, &done);
        } else if (p.revents & failed) {
            im.waits.complete(p.fd, SLOT_EXCEPT, false, &done);
        }
    }
    _deliver(&done);
}

int SocketReactor::nextDeadline() {
    return m_sImpl->tick.remaining();
}

void SocketReactor::afterWait() {
    Impl& im = *m_sImpl;
    if (!im.tick.isExpired()) return;
    im.tick.rearm();
    detail::CompletionQueue done;
    im.waits.expire(&done);
    _deliver(&done);
}

}  // namespace async
}  // namespace kx
