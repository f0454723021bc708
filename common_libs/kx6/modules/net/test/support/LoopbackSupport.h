#pragma once

// Loopback helpers shared by the socket, channel and forward tests. Every wait
// is bounded by real (steady) time, independent of the adjustable test clock.

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "core/src/value/Binary.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {
namespace test {

inline SocketAddress loopback(uint16_t port = 0, uint32_t ip = 0x7F000001u) {
    return SocketAddress(IpAddress(ip), port);
}

inline SocketAddress loopback6(uint16_t port = 0) {
    return SocketAddress(IpAddress("::1"), port);
}

// A blocking listener on `at` (127.0.0.1 by default) with an ephemeral port.
inline Socket listenLoopback(int backlog = 64, const SocketAddress& at = loopback()) {
    Socket s(Socket::TYPE_TCP, at.ip.family());
    s.setReuseAddress(1);
    if (!s.bind(at) || !s.listen(backlog)) s.close();
    return s;
}

struct SocketPair {
    Socket client;  // blocking, our "peer" side
    Socket server;  // accepted side, to be handed to a channel
};

inline SocketPair connectedPair(const SocketAddress& at = loopback()) {
    SocketPair pair;
    Socket listener = listenLoopback(64, at);
    pair.client = Socket(Socket::TYPE_TCP, at.ip.family());
    pair.client.connect(listener.localAddress());
    listener.accept(&pair.server);
    return pair;
}

// Runs select rounds until done() holds or maxMs of real time pass.
inline bool pumpUntil(SocketEventSelector& selector, const std::function<bool()>& done,
                      int maxMs = 5000, int sliceMs = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        selector.select(sliceMs);
    }
    return true;
}

inline void pumpFor(SocketEventSelector& selector, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) selector.select(5);
}

inline core::Binary pattern(int length, int seed = 0) {
    core::Binary b;
    b.resize(length);
    for (int i = 0; i < length; ++i)
        b.data()[i] =
            uint8_t((unsigned(i) * 131u + unsigned(seed) * 7u + (unsigned(i) >> 11)) & 0xFFu);
    return b;
}

inline bool sendAll(Socket& s, const core::Binary& data) {
    int off = 0;
    while (off < data.length()) {
        int n = s.send(data, off, data.length() - off);
        if (n <= 0) return false;
        off += n;
    }
    return true;
}

// Reads from a blocking socket until `length` bytes, EOF or error; errnoOut
// gets errno of a failed read (ECONNRESET for a reset).
inline std::string readUpTo(Socket& s, size_t length, int* errnoOut = nullptr,
                            int timeoutMs = 5000) {
    std::string out;
    s.setReceiveTimeout(timeoutMs);
    char buf[65536];
    while (out.size() < length) {
        int n = s.receive(buf, int(std::min(sizeof(buf), length - out.size())));
        if (n < 0 && errnoOut) *errnoOut = errno;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

}  // namespace test
}  // namespace net
}  // namespace kx
