#pragma once

#include <cstdint>
#include <deque>

#include "core/src/value/Binary.h"
#include "tunnel_client/forward/Backup.h"

namespace tunnel {

// FIFO of unacknowledged packets, bounded by the bytes they hold.
class BackupQueue {
public:
    explicit BackupQueue(int32_t capacity);
    virtual ~BackupQueue() = default;

    // Stores a copy; false (nothing stored) when it would exceed the capacity.
    bool push(uint32_t sequence, const kx::core::Binary& packet);
    // Takes the packet's storage (left empty) instead of copying it.
    bool push(uint32_t sequence, kx::core::Binary&& packet);
    bool hasRoom(int32_t bytes) const {
        return bytes >= 0 && static_cast<int64_t>(m_used) + bytes <= m_capacity;
    }
    // Removes the oldest packet; with `storage`, its buffer is swapped there
    // for reuse instead of freed.
    void popFront(kx::core::Binary* storage = nullptr);
    void clear();

    bool isEmpty() const { return m_items.empty(); }
    int32_t count() const { return static_cast<int32_t>(m_items.size()); }
    const Backup& front() const { return m_items.front(); }
    const Backup& back() const { return m_items.back(); }
    Backup& back() { return m_items.back(); }
    int32_t capacity() const { return m_capacity; }
    int32_t usedBytes() const { return m_used; }
    const std::deque<Backup>& items() const { return m_items; }
    std::deque<Backup>& items() { return m_items; }

private:
    int32_t m_capacity;
    int32_t m_used = 0;
    std::deque<Backup> m_items;
};

}  // namespace tunnel
