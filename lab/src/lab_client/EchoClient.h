#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/src/socket/SocketAddress.h"

namespace lab {

// Blocking checks of a relayed path, for the demo tool and the end-to-end
// tests: they run on a thread of their own while the event loop runs
// elsewhere, and every wait is bounded by the given time limit. Each check
// takes the address it talks to; the port-only forms talk to 127.0.0.1.
class EchoClient {
public:
    struct Result {
        bool ok = false;
        int64_t sent = 0;
        int64_t received = 0;
        int64_t elapsedMs = 0;
        std::string sentMd5;
        std::string receivedMd5;
        std::string error;
    };

    // Writes `bytes` of a seeded pseudo-random stream to `to` while reading
    // the echo back at the same time, then compares both digests.
    // onProgress(received) is called after every read.
    static Result tcpEcho(const kx::net::SocketAddress& to, int64_t bytes, int32_t limitMs,
                          uint32_t seed = 1,
                          const std::function<void(int64_t)>& onProgress = nullptr);
    static Result tcpEcho(uint16_t port, int64_t bytes, int32_t limitMs, uint32_t seed = 1,
                          const std::function<void(int64_t)>& onProgress = nullptr) {
        return tcpEcho(loopback(port), bytes, limitMs, seed, onProgress);
    }

    // Reads `bytes` from `from` and checks them against the pattern of a TCP
    // source back end.
    static Result tcpSource(const kx::net::SocketAddress& from, int64_t bytes, int32_t limitMs);
    static Result tcpSource(uint16_t port, int64_t bytes, int32_t limitMs) {
        return tcpSource(loopback(port), bytes, limitMs);
    }

    // Sends `count` datagrams of `size` bytes one after another from one local
    // port (on the loopback address of the same family) and checks that each
    // comes back intact (a lost one is retried up to three times).
    static Result udpEcho(const kx::net::SocketAddress& to, int32_t count, int32_t size,
                          int32_t limitMs, uint32_t seed = 1);
    static Result udpEcho(uint16_t port, int32_t count, int32_t size, int32_t limitMs,
                          uint32_t seed = 1) {
        return udpEcho(loopback(port), count, size, limitMs, seed);
    }

    // One admin line to a lab's admin port; the answer line in *answer.
    static bool admin(const kx::net::SocketAddress& to, const std::string& line,
                      std::string* answer, int32_t limitMs = 2000);
    static bool admin(uint16_t port, const std::string& line, std::string* answer,
                      int32_t limitMs = 2000) {
        return admin(loopback(port), line, answer, limitMs);
    }

    // 127.0.0.1:port.
    static kx::net::SocketAddress loopback(uint16_t port) {
        return kx::net::SocketAddress(kx::net::IpAddress(0x7F000001u), port);
    }

    // The stream tcpEcho writes.
    static void fill(uint8_t* data, int64_t length, uint32_t seed);
};

}  // namespace lab
