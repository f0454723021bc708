#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"

namespace kx {
namespace net {

// A stream's unsent bytes as a list of buffers, written with one gathered
// system call. Small sends are copied into the tail buffer (filled up to
// CHUNK bytes, never reallocated while queued, so nothing is moved twice);
// a large buffer handed over by move, or shared with its owner, is queued as
// it is without a copy. Written buffers are kept for reuse up to the keep
// limit, so a steady stream allocates nothing per send.
class SendQueue {
public:
    static constexpr int32_t CHUNK = 65536;  // copies go into chunks of up to this size
    static constexpr int32_t MIN_CHUNK = 4096;
    // Moved-in buffers at least this long are queued without a copy.
    static constexpr int32_t ADOPT_MIN = 4096;
    static constexpr int MAX_GATHER = 64;  // buffers per system call

    SendQueue() = default;
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    bool isEmpty() const { return m_bytes == 0; }
    int64_t bytes() const { return m_bytes; }
    int segmentCount() const { return static_cast<int>(m_segments.size()); }

    void append(const void* data, int32_t length);
    void append(core::Binary&& data);
    // Queues a range of a buffer its owner keeps: no copy. The range must lie
    // inside the buffer, and the buffer must not change while it is queued.
    void append(std::shared_ptr<const core::Binary> data, int32_t offset, int32_t length);

    // Describes the oldest bytes, at most `limit` of them, in at most `max`
    // entries; returns the count of entries filled.
    int gather(iovec* out, int max, int64_t limit) const;
    // Drops `count` bytes from the front (count <= bytes()).
    void consume(int64_t count);
    // Drops every queued byte; spare storage stays up to the keep limit.
    void clear();
    // Storage kept for reuse once written (0: none; one buffer may be up to
    // twice as large).
    void setKeep(int32_t bytes);
    // Gives out a spare buffer (emptied, at least `minCapacity`) if one is
    // kept; false leaves `into` untouched.
    bool takeSpare(core::Binary* into, int32_t minCapacity);
    // Gives back every spare buffer.
    void releaseSpare();

private:
    struct Segment {
        core::Binary owned;  // used when `shared` is null
        std::shared_ptr<const core::Binary> shared;
        int32_t offset = 0;  // into `shared`
        int32_t length = 0;  // of `shared`'s range
        int32_t pos = 0;     // bytes already written

        const uint8_t* data() const {
            return shared ? shared->data() + offset : owned.data();
        }
        int32_t size() const { return shared ? length : owned.length(); }
    };

    void _recycle(core::Binary& storage);
    core::Binary _spareOrNew(int32_t minCapacity);

    std::deque<Segment> m_segments;
    int64_t m_bytes = 0;
    bool m_tailOpen = false;  // the last segment is a chunk that takes copies
    std::vector<core::Binary> m_spare;
    int64_t m_spareBytes = 0;
    int32_t m_keep = 0;
};

}  // namespace net
}  // namespace kx
