#include "tunnel_client/protocol/DatagramQueue.h"

#include <utility>

#include "core/src/time/Clock.h"

namespace tunnel {

bool DatagramQueue::push(kx::core::Binary& datagram) {
    const int64_t length = datagram.length();
    if (m_bytes + length > m_maxBytes) {
        ++m_dropped;
        return false;
    }
    if (!m_items) m_items.reset(new std::deque<Item>());
    m_items->push_back(Item{std::move(datagram), kx::core::Clock::nowMs()});
    m_bytes += length;
    return true;
}

bool DatagramQueue::pop(int64_t credit, kx::core::Binary* out) {
    const uint32_t now = kx::core::Clock::nowMs();
    while (m_items && now - m_items->front().since > m_maxAgeMs) _dropFront();
    if (!m_items || m_items->front().datagram.length() > credit) return false;
    *out = std::move(m_items->front().datagram);
    m_bytes -= out->length();
    m_items->pop_front();
    if (m_items->empty()) m_items.reset();
    return true;
}

void DatagramQueue::clear() {
    if (m_items) m_dropped += static_cast<int64_t>(m_items->size());
    m_items.reset();
    m_bytes = 0;
}

void DatagramQueue::_dropFront() {
    m_bytes -= m_items->front().datagram.length();
    m_items->pop_front();
    ++m_dropped;
    if (m_items->empty()) m_items.reset();
}

}  // namespace tunnel
