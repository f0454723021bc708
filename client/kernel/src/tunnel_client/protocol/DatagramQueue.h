#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "core/src/value/Binary.h"

namespace tunnel {

// Datagrams that arrived while their session had no window left, waiting
// for the next grant instead of being dropped at once.
//
// A session's window opens small and grows over a few round trips; a flow
// that starts at full rate would otherwise lose most of what it sends in
// that time. The queue is bounded twice, so that it absorbs a ramp and never
// becomes a standing delay: by bytes (a datagram that does not fit is
// dropped) and by age (a datagram that waited longer than the age limit is
// dropped when its turn comes, as it would be stale for a real-time flow).
// An empty queue holds no memory.
class DatagramQueue {
public:
    static constexpr int64_t DEFAULT_MAX_BYTES = 2 * 1024 * 1024;
    static constexpr uint32_t DEFAULT_MAX_AGE_MS = 1000;

    explicit DatagramQueue(int64_t maxBytes = DEFAULT_MAX_BYTES,
                           uint32_t maxAgeMs = DEFAULT_MAX_AGE_MS)
        : m_maxBytes(maxBytes), m_maxAgeMs(maxAgeMs) {}
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Takes the datagram (moved from) unless it does not fit; false: dropped.
    bool push(kx::core::Binary& datagram);
    // The oldest datagram still young enough whose length is at most
    // `credit`, into *out; stale ones in front are dropped on the way.
    // False when the queue is empty or its front does not fit the credit.
    bool pop(int64_t credit, kx::core::Binary* out);
    void clear();

    bool isEmpty() const { return !m_items; }
    int64_t bytes() const { return m_bytes; }
    int64_t dropped() const { return m_dropped; }

private:
    struct Item {
        kx::core::Binary datagram;
        uint32_t since;
    };
    void _dropFront();

    int64_t m_maxBytes;
    uint32_t m_maxAgeMs;
    std::unique_ptr<std::deque<Item>> m_items;  // null while empty
    int64_t m_bytes = 0;
    int64_t m_dropped = 0;
};

}  // namespace tunnel
