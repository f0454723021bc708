#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"

namespace kx {
namespace core {

// Byte queue for stream reassembly: append at the back, peek and consume at
// the front. An append that would take the content past the limit is refused
// whole. Consumed space is reclaimed lazily so a run of small reads does not
// move the tail each time; once empty, storage above keepCapacity is released.
class StreamBuffer {
public:
    StreamBuffer(int32_t limit, int32_t keepCapacity);

    int32_t length() const { return m_data.length() - m_pos; }
    bool isEmpty() const { return length() == 0; }
    int32_t limit() const { return m_limit; }
    const uint8_t* data() const { return m_data.data() + m_pos; }

    bool append(const void* data, int32_t length);
    bool append(const Binary& data) { return append(data.data(), data.length()); }
    // Copies the first length bytes without consuming them.
    bool peek(void* out, int32_t length) const;
    // Moves the first length bytes into out (replacing its content).
    bool read(Binary* out, int32_t length);
    bool skip(int32_t length);
    void clear();

private:
    void _consumed();

    Binary m_data;
    int32_t m_pos;
    int32_t m_limit;
    int32_t m_keepCapacity;
};

}  // namespace core
}  // namespace kx
