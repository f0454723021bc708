#pragma once

#include <cstddef>
#include <cstdint>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"

// Splits one fuzzer input into the pieces a target needs. The leading bytes
// steer the run (split sizes, options); the rest is the data under test. A
// small deterministic generator seeded from the input stands in for "random"
// splits, so every crash replays exactly from its input file.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t remaining() const { return m_size - m_pos; }

    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // Up to n bytes from the front.
    kx::core::Binary take(size_t n) {
        if (n > remaining()) n = remaining();
        kx::core::Binary out(m_data + m_pos, static_cast<int32_t>(n));
        m_pos += n;
        return out;
    }
    // A piece prefixed by one length byte (so targets can take several parts).
    kx::core::Binary piece() { return take(byte()); }
    kx::core::Binary rest() { return take(remaining()); }

    // Bytes as text: UTF-8 when valid, else each byte as one code unit, so
    // that invalid UTF-8 still reaches the parsers (a String carries any unit).
    static kx::core::String text(const kx::core::Binary& bytes) {
        if (bytes.isEmpty()) return kx::core::String();
        kx::core::String utf8 = kx::core::String::fromUtf8(bytes);
        if (!utf8.isEmpty()) return utf8;
        kx::core::String wide;
        wide.reserve(bytes.length());
        for (int32_t i = 0; i < bytes.length(); ++i) wide.append(static_cast<wchar_t>(bytes.data()[i]));
        return wide;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};
