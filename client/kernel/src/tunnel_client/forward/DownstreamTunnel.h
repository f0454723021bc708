#pragma once

#include <cstdint>
#include <vector>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "tunnel_client/client/IDownstream.h"
#include "tunnel_client/forward/BackupQueue.h"
#include "tunnel_client/forward/TrafficStatGroup.h"
#include "tunnel_client/protocol/GrantBudget.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/RoundTripEstimate.h"

namespace tunnel {

class IUpstream;

// The reliable packet layer between the local forwards and whichever upstream
// is bound at the moment: numbers and keeps every sent packet until the switch
// acknowledges it, resends the kept ones through a new upstream, delivers
// incoming packets strictly in order and acknowledges them, and declares the
// tunnel dead after 30 s without any incoming packet.
class DownstreamTunnel : public IDownstream {
public:
    static constexpr int32_t BACKUP_CAPACITY = wire::BACKUP_CAPACITY;
    static constexpr int32_t ALIVE_TIMEOUT_MS = 30000;
    static constexpr int32_t ACK_INTERVAL_MS = wire::ACK_INTERVAL_MS;
    static constexpr int32_t ACK_BYTES = wire::ACK_BYTES;

    explicit DownstreamTunnel(int32_t backupCapacity = BACKUP_CAPACITY);
    ~DownstreamTunnel() override;

    bool open();
    // Derived tunnels close what hangs on them first.
    virtual void close();
    bool isOpen() const { return m_opened; }
    bool isAlive() const { return m_aliveTimer.interval() > 0; }

    // Numbers the packet (bytes 2..5 are overwritten), keeps it for resending
    // and writes it to the upstream if one is bound. The kept packet takes the
    // Binary's storage, so the caller's Binary is empty afterwards. False when
    // dead, when the packet is shorter than a header or when the backups are
    // full: then the packet is untouched, nothing was stored or sent and the
    // sequence number was not used. A sent data-sized packet may come back
    // empty but with the storage of an acknowledged one, ready for reuse.
    bool send(kx::core::Binary& packet);
    // Whether a packet of this many bytes would be accepted by send() now.
    bool canSend(int32_t bytes) const { return isAlive() && m_backups.hasRoom(bytes); }
    uint32_t nextSendSequence() const { return m_sendSequence; }
    uint32_t receiveSequence() const { return m_receiveSequence; }

    // Every packet from the switch, in arrival order.
    void receive(const kx::core::Binary& packet) override;
    void sendBackups(IUpstream* upstream);
    void setUpstream(IUpstream* upstream) { m_upstream = upstream; }
    IUpstream* upstream() const { return m_upstream; }
    void tick();

    TrafficStatGroup& traffic() { return m_traffic; }
    const TrafficStatGroup& traffic() const { return m_traffic; }
    const BackupQueue& backups() const { return m_backups; }
    // What the streams of this tunnel may grant beyond their first windows,
    // together.
    GrantBudget& grantBudget() { return m_grantBudget; }
    // Write-to-acknowledgement time of our packets, for the streams' windows.
    const RoundTripEstimate& roundTrip() const { return m_roundTrip; }

protected:
    // One incoming packet, in sequence order.
    virtual void onData(const kx::core::Binary& packet) = 0;
    // Called after an acknowledgement freed backup room that a refused send
    // was waiting for; senders that held data back may try again.
    virtual void onRoom() {}
    // Called first on every tick, alive or not, for the owner's housekeeping.
    virtual void onTick() {}

private:
    void _acknowledge(const kx::core::Binary& packet);
    void _sendAck(uint32_t sequence);

    bool m_opened = false;
    BackupQueue m_backups;
    kx::core::Timer m_aliveTimer;
    kx::core::Timer m_ackTimer;
    uint32_t m_receiveSequence = 0;
    uint32_t m_sendSequence = 0;
    int64_t m_receivedSinceAck = 0;
    IUpstream* m_upstream = nullptr;
    TrafficStatGroup m_traffic;
    GrantBudget m_grantBudget;
    RoundTripEstimate m_roundTrip;
    // Buffers of acknowledged packets, handed back to senders: a steady
    // stream then allocates nothing per packet.
    static constexpr size_t SPARE_PACKETS = 64;
    static constexpr int32_t SPARE_MIN_LENGTH = 1024;
    std::vector<kx::core::Binary> m_spare;
    bool m_refused = false;  // a send was refused for lack of room since the last onRoom()
    kx::core::Binary m_ackPacket;
};

}  // namespace tunnel
