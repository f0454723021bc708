#pragma once

#include <cstdint>

// Chunk sizes for feeding a stream in pieces, as a network read would cut it:
// mostly small (1..16 bytes, so every boundary inside a header gets hit),
// sometimes medium, sometimes everything left. Deterministic per seed.
class SplitPlan {
public:
    explicit SplitPlan(uint32_t seed) : m_state(seed | 1u) {}

    int32_t next(int32_t left) {
        if (left <= 0) return 0;
        uint32_t r = _step();
        int32_t n;
        switch (r & 3u) {
            case 0:
            case 1:
                n = 1 + static_cast<int32_t>((r >> 2) % 16u);
                break;
            case 2:
                n = 1 + static_cast<int32_t>((r >> 2) % 512u);
                break;
            default:
                n = left;
                break;
        }
        return n < left ? n : left;
    }

private:
    uint32_t _step() {
        // xorshift32
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

    uint32_t m_state;
};
