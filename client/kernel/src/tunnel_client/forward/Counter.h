#pragma once

#include <cstdint>

namespace tunnel {

// Byte counter over fixed windows: `current` grows, roll() closes the window.
class Counter {
public:
    virtual ~Counter() = default;

    void add(int64_t n) { m_current += n; }
    void roll() {
        m_last = m_current;
        m_current = 0;
    }
    int64_t last() const { return m_last; }
    int64_t current() const { return m_current; }

private:
    int64_t m_last = 0;
    int64_t m_current = 0;
};

}  // namespace tunnel
