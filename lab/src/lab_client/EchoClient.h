#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lab {

// Blocking checks of a relayed path, for the demo tool and the end-to-end
// tests: they run on a thread of their own while the event loop runs
// elsewhere, and every wait is bounded by the given time limit.
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

    // Writes `bytes` of a seeded pseudo-random stream to 127.0.0.1:port while
    // reading the echo back at the same time, then compares both digests.
    // onProgress(received) is called after every read.
    static Result tcpEcho(uint16_t port, int64_t bytes, int32_t limitMs, uint32_t seed = 1,
                          const std::function<void(int64_t)>& onProgress = nullptr);

    // Reads `bytes` from 127.0.0.1:port and checks them against the pattern
    // of a TCP source back end.
    static Result tcpSource(uint16_t port, int64_t bytes, int32_t limitMs);

    // Sends `count` datagrams of `size` bytes one after another from one local
    // port and checks that each comes back intact (a lost one is retried up to
    // three times).
    static Result udpEcho(uint16_t port, int32_t count, int32_t size, int32_t limitMs,
                          uint32_t seed = 1);

    // One admin line to a lab at 127.0.0.1:port; the answer line in *answer.
    static bool admin(uint16_t port, const std::string& line, std::string* answer,
                      int32_t limitMs = 2000);

    // The stream tcpEcho writes.
    static void fill(uint8_t* data, int64_t length, uint32_t seed);
};

}  // namespace lab
