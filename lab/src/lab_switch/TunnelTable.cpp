#include "lab_switch/TunnelTable.h"

#include <cstdio>
#include <random>
#include <vector>

#include "lab_switch/Relay.h"

namespace lab {

using kx::core::String;

TunnelTable::TunnelTable() : m_nextNatId(1), m_created(0) {
    // A per-process prefix keeps ids of one lab run apart from a previous
    // run's ids that a client may still hold.
    std::random_device device;
    char prefix[16];
    snprintf(prefix, sizeof(prefix), "%08x", static_cast<unsigned>(device()));
    m_prefix = String::fromUtf8(prefix);
}

TunnelTable::~TunnelTable() = default;

TunnelRecord& TunnelTable::create(int64_t targetId, const String& accessId) {
    ++m_created;
    auto record = std::make_unique<TunnelRecord>();
    record->tunnelId = m_prefix + L"-" + String::fromInt64(m_created);
    record->natId = m_nextNatId++;
    record->targetId = targetId;
    record->accessId = accessId;
    record->linger.start(LINGER_MS);
    if (m_relay) record->link.reset(new TunnelLink(m_relay, targetId, record->tunnelId));
    TunnelRecord& ref = *record;
    m_tunnels.set(ref.tunnelId, std::move(record));
    return ref;
}

TunnelRecord* TunnelTable::find(const String& tunnelId) {
    std::unique_ptr<TunnelRecord>* record = m_tunnels.find(tunnelId);
    return record ? record->get() : nullptr;
}

void TunnelTable::release(SwitchSession* session) {
    for (auto& item : m_tunnels) letGo(item.second.get(), session);
}

void TunnelTable::letGo(TunnelRecord* record, SwitchSession* session) {
    if (record->holder == session) {
        record->holder = nullptr;
        record->linger.reset();
    }
    if (record->link) record->link->detach(session);
}

void TunnelTable::hold(TunnelRecord* record, SwitchSession* session) {
    record->holder = session;
    record->linger.reset();
}

void TunnelTable::tick() {
    std::vector<String> expired;
    for (auto& item : m_tunnels) {
        TunnelRecord& record = *item.second;
        if (record.link) record.link->tick();
        if (!record.holder && record.linger.isExpired()) expired.push_back(item.first);
    }
    for (const String& id : expired) remove(id);
}

bool TunnelTable::remove(const String& tunnelId) {
    if (!m_tunnels.remove(tunnelId)) return false;
    ++m_removed;
    return true;
}

}  // namespace lab
