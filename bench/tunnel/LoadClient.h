#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// An IPv4 address and port in host order.
struct Endpoint {
    uint32_t ip = 0x7F000001u;
    uint16_t port = 0;
};

// The application side of every measurement, with plain blocking or polled
// POSIX sockets so that the client costs the same on both paths. Every loop
// ends by a deadline; a stalled peer is an error, never a hang.
class LoadClient {
public:
    struct Latency {
        double medianUs = 0;
        double p99Us = 0;
        int64_t samples = 0;
    };

    // Bytes per second, summed over streams connections that each write to a
    // sink (upload) or read from a source, counted after the first quarter
    // of the run so that filling the buffers along the path does not count.
    static bool streamRate(const Endpoint& to, int streams, bool upload, double seconds,
                           double* bytesPerSecond, std::string* error);
    // Round trips of size bytes through an echo server, one at a time.
    static bool roundTrips(const Endpoint& echo, int size, double seconds, Latency* out,
                           std::string* error);
    // Connections per second, one after the other; each counts once it has
    // carried one 64-byte echo, so a listener that accepts but cannot reach
    // the back end does not look fast. Closes each before the next.
    static bool setupRate(const Endpoint& echo, double seconds, double* perSecond,
                          std::string* error);
    // Opens count connections that each carry one echoed byte, and leaves
    // them open (the caller closes fds).
    static bool openIdle(const Endpoint& echo, int count, double timeoutSeconds,
                         std::vector<int>* fds, std::string* error);
    // Echoes 64 bytes at a time without pause; after warmupSeconds calls
    // breakPath() and measures from its return until a round trip that
    // started after it completes. Gives up after timeoutSeconds.
    static bool gapAfter(const Endpoint& echo, double warmupSeconds,
                         const std::function<bool()>& breakPath, double timeoutSeconds,
                         double* gapMs, std::string* error);

    static void closeAll(std::vector<int>* fds);
};

}  // namespace bench
