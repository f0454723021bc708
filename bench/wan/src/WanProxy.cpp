#include "WanProxy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

namespace wan {

namespace {

// A receiver that does not read holds at most this much in the proxy before
// its sender is no longer read (plus what is still on the link).
const size_t PENDING_LIMIT = 262144;
// Reads are cut into link segments of this size so the rate is applied
// smoothly rather than in bursts of a whole read.
const size_t SEGMENT = 4096;
const size_t READ_MAX = 65536;
const int64_t UDP_IDLE_US = 60000000;

void setBuffers(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

WanProxy::WanProxy(const WanProfile& profile)
    : m_profile(profile), m_links{WanLink(profile, 1), WanLink(profile, 2)} {
    // Writes to a peer that has gone must fail with EPIPE, not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
}

WanProxy::~WanProxy() {
    for (auto& entry : m_flows) {
        for (Side& side : entry.second->side) {
            if (side.fd >= 0) close(side.fd);
        }
    }
    for (auto& entry : m_udp) close(entry.second->fd);
    for (Pair& pair : m_pairs) close(pair.fd);
    for (auto& conn : m_controlConns) close(conn.first);
    if (m_controlFd >= 0) close(m_controlFd);
    for (int fd : m_wake) {
        if (fd >= 0) close(fd);
    }
}

int64_t WanProxy::_nowUs() {
    // Microseconds: at 100 Mbit/s a 4 KiB segment takes 330 us on the link,
    // finer than the millisecond timers elsewhere can express.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WanProxy::_listen(bool udp, const std::string& listen, WanAddress* bound, int* fd,
                       std::string* error) {
    if (!bound->parse(listen, error)) return false;
    int s =
        socket(bound->family(), (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (error) *error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // Accepted sockets inherit small buffers, so the kernel keeps no large
    // queue of its own in front of the emulated one.
    if (!udp) setBuffers(s, m_profile.sockBufBytes);
    if (bind(s, bound->get(), bound->length) != 0 || (!udp && ::listen(s, 1024) != 0)) {
        if (error) *error = "cannot listen on " + listen + ": " + strerror(errno);
        close(s);
        return false;
    }
    socklen_t length = sizeof(bound->storage);
    getsockname(s, bound->get(), &length);
    bound->length = length;
    *fd = s;
    return true;
}

bool WanProxy::addTcp(const std::string& listen, const std::string& target, std::string* error) {
    Pair pair{false, {}, {}, -1};
    if (!pair.target.parse(target, error)) return false;
    if (!_listen(false, listen, &pair.listen, &pair.fd, error)) return false;
    m_pairs.push_back(pair);
    return true;
}

bool WanProxy::addUdp(const std::string& listen, const std::string& target, std::string* error) {
    Pair pair{true, {}, {}, -1};
    if (!pair.target.parse(target, error)) return false;
    if (!_listen(true, listen, &pair.listen, &pair.fd, error)) return false;
    m_pairs.push_back(pair);
    return true;
}

bool WanProxy::listenControl(const std::string& listen, std::string* error) {
    return _listen(false, listen, &m_control, &m_controlFd, error);
}

std::vector<std::string> WanProxy::describe() const {
    std::vector<std::string> lines;
    for (const Pair& pair : m_pairs) {
        lines.push_back(std::string(pair.udp ? "udp " : "tcp ") + pair.listen.toString() + " -> " +
                        pair.target.toString());
    }
    if (m_controlFd >= 0) lines.push_back("control " + m_control.toString());
    lines.push_back("link " + m_profile.describe());
    return lines;
}

void WanProxy::stop() {
    m_stop = true;
    if (m_wake[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(m_wake[1], &byte, 1);
        (void)ignored;
    }
}

void WanProxy::run() {
    while (!m_stop) _round();
}

std::string WanProxy::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "set") {
        WanProfile next = m_profile;
        std::string setting, error;
        while (in >> setting) {
            if (!next.apply(setting, &error)) return "error " + error;
        }
        m_profile = next;
        for (WanLink& link : m_links) link.setProfile(next);
        return "ok " + next.describe();
    }
    if (verb == "profile") return "ok " + m_profile.describe();
    if (verb == "stats") {
        std::ostringstream out;
        out << "ok up_bytes=" << m_links[UP].bytesSent()
            << " down_bytes=" << m_links[DOWN].bytesSent() << " queued_up=" << m_links[UP].queued()
            << " queued_down=" << m_links[DOWN].queued() << " flows=" << m_flows.size()
            << " accepted=" << m_flowsAccepted << " udp_sessions=" << m_udp.size()
            << " udp_dropped=" << m_udpDropped;
        return out.str();
    }
    return "error unknown command: " + verb;
}

// ---- TCP -------------------------------------------------------------------

void WanProxy::_accept(size_t pairIndex) {
    int64_t now = _nowUs();
    for (;;) {
        int fd = accept4(m_pairs[pairIndex].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that is already gone
        setNoDelay(fd);
        std::unique_ptr<TcpFlow> flow(new TcpFlow);
        flow->id = m_nextId++;
        flow->pair = pairIndex;
        flow->connectAtUs = now + m_profile.delayUs;
        flow->side[UP].fd = fd;
        ++m_flowsAccepted;
        m_flows[flow->id] = std::move(flow);
    }
}

void WanProxy::_startConnect(TcpFlow* flow, int64_t now) {
    const WanAddress& target = m_pairs[flow->pair].target;
    int fd = socket(target.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        _abortTowards(flow, UP, now);
        flow->state = OPEN;
        return;
    }
    setBuffers(fd, m_profile.sockBufBytes);
    setNoDelay(fd);
    flow->side[DOWN].fd = fd;
    flow->state = CONNECTING;
    if (connect(fd, target.get(), target.length) == 0) {
        _finishConnect(flow, now);
    } else if (errno != EINPROGRESS) {
        _finishConnect(flow, now);  // SO_ERROR tells why
    }
}

void WanProxy::_finishConnect(TcpFlow* flow, int64_t now) {
    Side& server = flow->side[DOWN];
    int err = 0;
    socklen_t length = sizeof(err);
    if (getsockopt(server.fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    flow->state = OPEN;
    if (err != 0) {
        // Refused: the reset travels back to the client over the link.
        close(server.fd);
        server.fd = -1;
        server.readDone = server.shut = true;
        _abortTowards(flow, UP, now);
        return;
    }
    flow->clientReadAtUs = now + m_profile.delayUs;
}

bool WanProxy::_maySend(const TcpFlow& flow, int from) const {
    if (flow.aborting || flow.closing || flow.state != OPEN) return false;
    const Side& side = flow.side[from];
    if (side.fd < 0 || side.readDone) return false;
    if (flow.side[1 - from].pending() >= PENDING_LIMIT) return false;
    return m_links[from].room() > 0;
}

void WanProxy::_readSide(TcpFlow* flow, int from, int64_t now) {
    if (from == UP && now < flow->clientReadAtUs) return;
    if (!_maySend(*flow, from)) return;
    WanLink& link = m_links[from];
    size_t want = std::min<size_t>(READ_MAX, static_cast<size_t>(link.room()));
    char buffer[READ_MAX];
    ssize_t n = recv(flow->side[from].fd, buffer, want, 0);
    if (n > 0) {
        for (ssize_t at = 0; at < n; at += SEGMENT) {
            size_t size = std::min<size_t>(SEGMENT, static_cast<size_t>(n - at));
            link.push(now, flow->id, WanLink::DATA, std::string(buffer + at, size));
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    flow->side[from].readDone = true;
    if (n == 0) {
        link.push(now, flow->id, WanLink::END, std::string());
    } else {
        _abortTowards(flow, 1 - from, now);
    }
}

void WanProxy::_writeSide(TcpFlow* flow, int which, int64_t /*now*/) {
    Side& side = flow->side[which];
    if (side.fd < 0 || side.shut) {
        side.out.clear();
        side.outOffset = 0;
        return;
    }
    while (side.pending() > 0) {
        ssize_t n = send(side.fd, side.out.data() + side.outOffset, side.pending(), MSG_NOSIGNAL);
        if (n > 0) {
            side.outOffset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        // The receiver is gone: what it did not take is lost, and its reset
        // reaches the other end one delay later.
        side.out.clear();
        side.outOffset = 0;
        side.shut = side.readDone = true;
        _abortTowards(flow, 1 - which, _nowUs());
        return;
    }
    if (side.pending() == 0) {
        side.out.clear();
        side.outOffset = 0;
        if (side.endArrived && !side.shut) {
            shutdown(side.fd, SHUT_WR);
            side.shut = true;
        }
    } else if (side.outOffset > READ_MAX && side.outOffset * 2 > side.out.size()) {
        side.out.erase(0, side.outOffset);
        side.outOffset = 0;
    }
}

void WanProxy::_abortTowards(TcpFlow* flow, int which, int64_t now) {
    if (flow->aborting) return;
    flow->aborting = true;
    // Traffic towards side `which` crosses the link of the other side.
    m_links[1 - which].push(now, flow->id, WanLink::RESET, std::string());
}

void WanProxy::_closeFlow(TcpFlow* flow) {
    for (Side& side : flow->side) {
        if (side.fd < 0) continue;
        if (flow->resetOnClose) {
            linger hard{1, 0};
            setsockopt(side.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        }
        close(side.fd);
        side.fd = -1;
    }
}

void WanProxy::_deliver(Direction dir, WanLink::Chunk* chunk, int64_t now) {
    if (chunk->kind == WanLink::DATAGRAM) {
        auto it = m_udp.find(chunk->flow);
        if (it == m_udp.end()) return;
        UdpSession* session = it->second.get();
        if (dir == UP) {
            ssize_t ignored = send(session->fd, chunk->bytes.data(), chunk->bytes.size(), 0);
            (void)ignored;
        } else {
            ssize_t ignored =
                sendto(m_pairs[session->pair].fd, chunk->bytes.data(), chunk->bytes.size(), 0,
                       session->client.get(), session->client.length);
            (void)ignored;
        }
        return;
    }
    auto it = m_flows.find(chunk->flow);
    if (it == m_flows.end()) return;
    TcpFlow* flow = it->second.get();
    int to = 1 - dir;
    switch (chunk->kind) {
        case WanLink::DATA:
            flow->side[to].out.append(chunk->bytes);
            _writeSide(flow, to, now);
            break;
        case WanLink::END:
            flow->side[to].endArrived = true;
            _writeSide(flow, to, now);
            break;
        case WanLink::RESET:
            flow->closing = flow->resetOnClose = true;
            break;
        case WanLink::DATAGRAM:
            break;
    }
}

void WanProxy::_sweep(int64_t now) {
    for (auto it = m_flows.begin(); it != m_flows.end();) {
        TcpFlow* flow = it->second.get();
        if (flow->state == SYN && flow->connectAtUs <= now) _startConnect(flow, now);
        const Side* s = flow->side;
        bool done = s[UP].readDone && s[DOWN].readDone && s[UP].shut && s[DOWN].shut;
        if (flow->closing || done) {
            _closeFlow(flow);
            it = m_flows.erase(it);
        } else {
            ++it;
        }
    }
    if (now - m_lastExpiryUs < 1000000) return;
    m_lastExpiryUs = now;
    for (auto it = m_udp.begin(); it != m_udp.end();) {
        if (now - it->second->lastUs > UDP_IDLE_US) {
            m_udpByClient.erase(std::to_string(it->second->pair) + "/" + it->second->client.key());
            close(it->second->fd);
            it = m_udp.erase(it);
        } else {
            ++it;
        }
    }
}

// ---- UDP -------------------------------------------------------------------

void WanProxy::_readUdpListener(size_t pairIndex, int64_t now) {
    Pair& pair = m_pairs[pairIndex];
    char buffer[65536];
    for (int i = 0; i < 256; ++i) {
        WanAddress from;
        socklen_t length = sizeof(from.storage);
        ssize_t n = recvfrom(pair.fd, buffer, sizeof(buffer), 0, from.get(), &length);
        if (n < 0) return;
        from.length = length;
        std::string key = std::to_string(pairIndex) + "/" + from.key();
        UdpSession* session = nullptr;
        auto found = m_udpByClient.find(key);
        if (found != m_udpByClient.end()) {
            session = m_udp[found->second].get();
        } else {
            int fd = socket(pair.target.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) continue;
            if (connect(fd, pair.target.get(), pair.target.length) != 0) {
                close(fd);
                continue;
            }
            std::unique_ptr<UdpSession> created(
                new UdpSession{m_nextId++, pairIndex, from, fd, now});
            session = created.get();
            m_udpByClient[key] = session->id;
            m_udp[session->id] = std::move(created);
        }
        session->lastUs = now;
        if (m_links[UP].room() < n) {
            ++m_udpDropped;
            continue;
        }
        m_links[UP].push(now, session->id, WanLink::DATAGRAM,
                         std::string(buffer, static_cast<size_t>(n)));
    }
}

void WanProxy::_readUdpSession(UdpSession* session, int64_t now) {
    char buffer[65536];
    for (int i = 0; i < 256; ++i) {
        ssize_t n = recv(session->fd, buffer, sizeof(buffer), 0);
        if (n < 0) return;  // nothing more, or an ICMP error from the target
        session->lastUs = now;
        if (m_links[DOWN].room() < n) {
            ++m_udpDropped;
            continue;
        }
        m_links[DOWN].push(now, session->id, WanLink::DATAGRAM,
                           std::string(buffer, static_cast<size_t>(n)));
    }
}

// ---- control -----------------------------------------------------------------

void WanProxy::_acceptControl() {
    int fd = accept4(m_controlFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) m_controlConns.emplace_back(fd, std::string());
}

void WanProxy::_readControl(size_t index) {
    auto& conn = m_controlConns[index];
    char buffer[4096];
    ssize_t n = recv(conn.first, buffer, sizeof(buffer), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0 || conn.second.size() > 65536) {
        close(conn.first);
        conn.first = -1;
        return;
    }
    conn.second.append(buffer, static_cast<size_t>(n));
    size_t eol;
    while ((eol = conn.second.find('\n')) != std::string::npos) {
        std::string answer = command(conn.second.substr(0, eol)) + "\n";
        conn.second.erase(0, eol + 1);
        // Answers are short; a controller that does not read loses them.
        ssize_t ignored = send(conn.first, answer.data(), answer.size(), MSG_NOSIGNAL);
        (void)ignored;
    }
}

// ---- the loop ------------------------------------------------------------------

int64_t WanProxy::_nextEventUs(int64_t now) const {
    int64_t next = now + 1000000;
    for (const WanLink& link : m_links) {
        int64_t at = link.nextEventUs();
        if (at >= 0) next = std::min(next, at);
    }
    for (const auto& entry : m_flows) {
        const TcpFlow& flow = *entry.second;
        if (flow.state == SYN) next = std::min(next, flow.connectAtUs);
        if (flow.state == OPEN && flow.clientReadAtUs > now)
            next = std::min(next, flow.clientReadAtUs);
    }
    return next;
}

void WanProxy::_round() {
    int64_t now = _nowUs();
    for (int dir = UP; dir <= DOWN; ++dir) {
        WanLink::Chunk chunk;
        while (m_links[dir].pop(now, &chunk)) _deliver(static_cast<Direction>(dir), &chunk, now);
    }
    _sweep(now);
    m_controlConns.erase(
        std::remove_if(m_controlConns.begin(), m_controlConns.end(),
                       [](const std::pair<int, std::string>& c) { return c.first < 0; }),
        m_controlConns.end());

    m_pollfds.clear();
    m_watched.clear();
    auto watch = [this](int fd, short events, Watch what, uint64_t id, int index) {
        // A descriptor with nothing to wait for stays out: a hung-up socket
        // would otherwise wake every round.
        if (fd < 0 || events == 0) return;
        m_pollfds.push_back(pollfd{fd, events, 0});
        m_watched.push_back(Watched{what, id, index});
    };
    watch(m_wake[0], POLLIN, W_WAKE, 0, 0);
    for (size_t i = 0; i < m_pairs.size(); ++i)
        watch(m_pairs[i].fd, POLLIN, W_LISTEN, 0, static_cast<int>(i));
    watch(m_controlFd, POLLIN, W_CONTROL, 0, 0);
    for (size_t i = 0; i < m_controlConns.size(); ++i) {
        watch(m_controlConns[i].first, POLLIN, W_CONTROL_CONN, 0, static_cast<int>(i));
    }
    // Flows take turns at the head of the list, so that a queue with room for
    // one segment is not always won by the same connection.
    size_t count = m_flows.size(), first = count ? static_cast<size_t>(m_rounds++ % count) : 0;
    std::vector<TcpFlow*> order;
    order.reserve(count);
    for (auto& entry : m_flows) order.push_back(entry.second.get());
    std::rotate(order.begin(), order.begin() + static_cast<long>(first), order.end());
    for (TcpFlow* flow : order) {
        for (int which = UP; which <= DOWN; ++which) {
            const Side& side = flow->side[which];
            short events = 0;
            bool opened = which == DOWN || now >= flow->clientReadAtUs;
            if (opened && _maySend(*flow, which)) events |= POLLIN;
            if (side.pending() > 0) events |= POLLOUT;
            if (which == DOWN && flow->state == CONNECTING) events |= POLLOUT;
            watch(side.fd, events, W_FLOW, flow->id, which);
        }
    }
    for (auto& entry : m_udp) watch(entry.second->fd, POLLIN, W_UDP, entry.first, 0);

    int64_t wait = std::max<int64_t>(0, _nextEventUs(now) - now);
    timespec timeout{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    int ready = ppoll(m_pollfds.data(), m_pollfds.size(), &timeout, nullptr);
    if (ready <= 0) return;
    now = _nowUs();
    for (size_t i = 0; i < m_pollfds.size(); ++i) {
        short revents = m_pollfds[i].revents;
        if (revents == 0) continue;
        const Watched& w = m_watched[i];
        switch (w.what) {
            case W_WAKE: {
                char drain[64];
                while (read(m_wake[0], drain, sizeof(drain)) > 0) {
                }
                break;
            }
            case W_LISTEN:
                if (m_pairs[w.index].udp) {
                    _readUdpListener(static_cast<size_t>(w.index), now);
                } else {
                    _accept(static_cast<size_t>(w.index));
                }
                break;
            case W_CONTROL:
                _acceptControl();
                break;
            case W_CONTROL_CONN:
                _readControl(static_cast<size_t>(w.index));
                break;
            case W_FLOW: {
                auto it = m_flows.find(w.id);
                if (it == m_flows.end()) break;
                TcpFlow* flow = it->second.get();
                if (w.index == DOWN && flow->state == CONNECTING) {
                    _finishConnect(flow, now);
                    break;
                }
                if (revents & (POLLOUT | POLLERR | POLLHUP)) _writeSide(flow, w.index, now);
                if (revents & (POLLIN | POLLERR | POLLHUP)) _readSide(flow, w.index, now);
                break;
            }
            case W_UDP: {
                auto it = m_udp.find(w.id);
                if (it != m_udp.end()) _readUdpSession(it->second.get(), now);
                break;
            }
        }
    }
}

}  // namespace wan
