#include "tunnel_client/forward/BackupQueue.h"

namespace tunnel {

BackupQueue::BackupQueue(int32_t capacity) : m_capacity(capacity > 0 ? capacity : 0) {}

bool BackupQueue::push(uint32_t sequence, const kx::core::Binary& packet) {
    if (!hasRoom(packet.length())) return false;
    m_items.emplace_back(sequence, packet);
    m_used += packet.length();
    return true;
}

bool BackupQueue::push(uint32_t sequence, kx::core::Binary&& packet) {
    int32_t length = packet.length();
    if (!hasRoom(length)) return false;
    m_items.emplace_back(sequence, std::move(packet));
    m_used += length;
    return true;
}

void BackupQueue::popFront(kx::core::Binary* storage) {
    if (m_items.empty()) return;
    m_used -= m_items.front().packet().length();
    if (storage) m_items.front().takePacket(storage);
    m_items.pop_front();
}

void BackupQueue::clear() {
    m_items.clear();
    m_used = 0;
}

}  // namespace tunnel
