#pragma once

#include <cstdint>
#include <memory>

#include "core/src/time/Timer.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"
#include "lab_switch/TunnelLink.h"

namespace lab {

class Relay;
class SwitchSession;

// One tunnel as the switch network knows it. It outlives the connection
// that created it, so a client can re-attach through any switch that shares
// the table.
struct TunnelRecord {
    kx::core::String tunnelId;
    int64_t natId = 0;
    int64_t targetId = 0;
    kx::core::String accessId;        // the key the creator logged in with
    SwitchSession* holder = nullptr;  // the session carrying it now, if any
    int32_t attachCount = 0;
    // Runs while no connection holds the tunnel; at expiry the tunnel, its
    // streams and sessions go.
    kx::core::Timer linger;
    // The packet layer, its streams and sessions; null without a relay.
    std::unique_ptr<TunnelLink> link;
};

// Tunnels shared by every switch listener of one lab process. Single-threaded
// (the lab's event loop).
class TunnelTable {
public:
    // How long a tunnel outlives its last connection (a client has that long
    // to attach it again through any switch).
    static constexpr int LINGER_MS = 120000;

    TunnelTable();
    ~TunnelTable();

    // From now on new tunnels carry their packets to the relay's back ends.
    void setRelay(Relay* relay) { m_relay = relay; }
    Relay* relay() const { return m_relay; }

    // A fresh tunnel with a new id and NAT id, held by no one yet.
    TunnelRecord& create(int64_t targetId, const kx::core::String& accessId);
    // Null for an unknown id.
    TunnelRecord* find(const kx::core::String& tunnelId);
    // Clears every holder pointer to session (the session is going away)
    // and starts the linger time of the tunnels it held.
    void release(SwitchSession* session);
    // The session carries the tunnel from now on; its linger time stops.
    void hold(TunnelRecord* record, SwitchSession* session);
    // The session no longer carries this tunnel; its linger time starts.
    void letGo(TunnelRecord* record, SwitchSession* session);
    bool remove(const kx::core::String& tunnelId);
    int32_t size() const { return m_tunnels.size(); }
    // Ticks the packet layer of every tunnel and removes those that lingered
    // without a connection for LINGER_MS.
    void tick();
    int64_t removedCount() const { return m_removed; }

private:
    // Records stay at one address while the table changes around them.
    kx::core::Map<kx::core::String, std::unique_ptr<TunnelRecord>> m_tunnels;
    kx::core::String m_prefix;
    int64_t m_nextNatId;
    int64_t m_created;
    int64_t m_removed = 0;
    Relay* m_relay = nullptr;
};

}  // namespace lab
