#pragma once

#include <cstdint>
#include <string>

namespace wan {

// What the emulated link does to every byte, the same in both directions.
struct WanProfile {
    int64_t delayUs = 25000;  // one way
    int64_t jitterUs = 0;     // extra one-way delay, 0..jitterUs, order kept
    int64_t rateBitsPerS = 100000000;
    int64_t queueUs = 20000;   // queue in front of the link, in time at the rate
    int sockBufBytes = 65536;  // SO_SNDBUF/SO_RCVBUF of the proxy's TCP sockets

    // Bytes the queue in front of the link holds (at least a few segments).
    int64_t queueBytes() const {
        int64_t bytes = rateBitsPerS / 8 * queueUs / 1000000;
        return bytes < 16384 ? 16384 : bytes;
    }
    // Microseconds the link needs to send `bytes`.
    double sendUs(int64_t bytes) const { return bytes * 8e6 / static_cast<double>(rateBitsPerS); }

    // Applies "key=value" (delay_ms, jitter_ms, rate_mbit, queue_ms, sockbuf_kib);
    // false with a reason for an unknown key or a value out of range.
    bool apply(const std::string& setting, std::string* error);
    std::string describe() const;
};

}  // namespace wan
