#pragma once

#include "core/src/debug/Assert.h"

namespace kx {
namespace async {
namespace detail {

// Operations started on a reactor and not yet completed.
class Flight {
public:
    void add() { ++m_pending; }
    void done() {
        KX_ASSERT(m_pending > 0);
        --m_pending;
    }
    int pending() const { return m_pending; }

private:
    int m_pending = 0;
};

}  // namespace detail
}  // namespace async
}  // namespace kx
