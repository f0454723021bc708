#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"
#include "core/src/value/String.h"
#include "lab_switch/PacketCipher.h"
#include "tunnel_client/protocol/GrantBudget.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/RoundTripEstimate.h"
#include "tunnel_client/protocol/TunnelPacket.h"

namespace lab {

class Relay;
class RelaySession;
class RelayStream;
class SwitchSession;

// The switch's packet layer of one tunnel, the mirror of the client's: it
// numbers what it sends and keeps a copy until the client acknowledges it,
// delivers the client's packets strictly in order, and owns the TCP streams
// and UDP sessions the tunnel carries to the back ends. It belongs to the
// tunnel, not to a connection, so a client that attaches the tunnel through
// another switch gets every unacknowledged packet again and its streams go on.
class TunnelLink {
public:
    // A sent packet as it went out: the whole connection frame (size header,
    // frame prefix, packet), so a resend writes the same bytes again.
    struct Kept {
        static constexpr int32_t PACKET_OFFSET = 6;
        uint32_t sequence;
        kx::core::Binary frame;
        // When it was first handed to a holder (Clock time), if it was.
        uint32_t sentAt = 0;
        bool timed = false;
        tunnel::TunnelPacket packet() const {
            return tunnel::TunnelPacket(frame.data() + PACKET_OFFSET,
                                        frame.length() - PACKET_OFFSET);
        }
    };
    // Emptied frame buffers kept for reuse, so steady traffic allocates nothing.
    static constexpr size_t FRAME_POOL = 256;

    // Open streams (and, separately, UDP sessions) per tunnel; one more open
    // is refused.
    static constexpr int32_t MAX_STREAMS = 1024;

    TunnelLink(Relay* relay, int64_t targetId, const kx::core::String& tunnelId,
               int64_t backupCapacity = tunnel::wire::BACKUP_CAPACITY);
    ~TunnelLink();
    TunnelLink(const TunnelLink&) = delete;
    TunnelLink& operator=(const TunnelLink&) = delete;

    // The connection that carries the tunnel from now on; every kept packet
    // goes out through it again, oldest first, before anything new.
    void attach(SwitchSession* holder);
    // Only when holder is the current one: sends keep numbering and storing.
    void detach(SwitchSession* holder);
    SwitchSession* holder() const { return m_holder; }

    // One packet from the client, in arrival order; what it carries for a
    // back end is queued.
    void receive(const kx::core::Binary& packet) { receive(packet.data(), packet.length()); }
    void receive(const uint8_t* packet, int32_t length);
    // The same from a lab channel's read buffer: stream data is written from
    // there at the end of the read (LabStreamChannel views), no copy.
    void receiveInReadBuffer(const uint8_t* packet, int32_t length);
    // True while a packet from the read buffer is dispatched.
    bool inReadBuffer() const { return m_inReadBuffer; }
    // The periodic acknowledgement: the last number received in order
    // (4294967295 before anything arrived); restarts the 8 MiB count.
    uint32_t takeAckNumber();

    // Packets sent inside a batch leave together, with one gathered write,
    // when the outermost batch ends.
    class Batch {
    public:
        explicit Batch(TunnelLink* link) : m_link(link) { ++m_link->m_batch; }
        ~Batch() {
            if (--m_link->m_batch == 0) m_link->flush();
        }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        TunnelLink* m_link;
    };
    // Writes the packets numbered but not yet handed to the holder.
    void flush();

    // Numbers, keeps and writes one packet. Never refuses: the streams stop
    // reading from their back ends while the kept bytes are over capacity.
    void send(const kx::core::Binary& packet);
    // A data packet, encrypted with the number it is about to get. False
    // when the payload does not fit a packet (the caller drops a datagram).
    bool sendData(uint8_t packetClass, uint16_t channel, const uint8_t* data, int32_t length);
    // Where a data packet's payload starts in its frame.
    static constexpr int32_t DATA_OFFSET =
        Kept::PACKET_OFFSET + tunnel::TunnelPacket::DATA_HEADER_SIZE;
    // A frame with room for one piece at DATA_OFFSET, so a back end can be
    // read straight into the packet that carries the bytes.
    kx::core::Binary newDataFrame();
    // Sends the first `length` bytes at DATA_OFFSET of a frame from
    // newDataFrame as a data packet (the frame is taken).
    void sendDataFrame(uint8_t packetClass, uint16_t channel, kx::core::Binary& frame,
                       int32_t length);
    // An unused frame from newDataFrame goes back.
    void recycle(kx::core::Binary& frame) { _recycle(frame); }
    void sendWindow(uint8_t packetClass, uint16_t channel, uint32_t granted);
    void sendClose(uint8_t packetClass, uint16_t channel);
    void sendOpenResult(uint8_t packetClass, uint16_t channel, bool accepted);
    bool hasRoom() const { return m_keptBytes < m_capacity; }
    // The switch carrying the tunnel has the ignore_window fault: streams and
    // sessions send back-end data without waiting for the client's grants.
    bool ignoresWindow() const;
    PacketCipher& cipher() { return m_cipher; }
    // What the streams and sessions may grant the client beyond their first
    // windows, together; and the write-to-acknowledgement time their windows
    // grow by.
    tunnel::GrantBudget& grantBudget() { return m_grantBudget; }
    const tunnel::RoundTripEstimate& roundTrip() const { return m_roundTrip; }
    int64_t maxWindow() const;

    // Deletes finished streams and sessions; resumes reading once room is back.
    void tick();

    uint32_t nextSendSequence() const { return m_sendSequence; }
    uint32_t receiveSequence() const { return m_receiveSequence; }
    int32_t keptCount() const { return static_cast<int32_t>(m_kept.size()); }
    int64_t keptBytes() const { return m_keptBytes; }
    int64_t resentPackets() const { return m_resent; }
    int64_t droppedOutOfOrder() const { return m_outOfOrder; }
    int64_t refusedOpens() const { return m_refusedOpens; }
    int32_t streamCount() const { return static_cast<int32_t>(m_streams.size()); }
    // The open streams by id.
    const std::map<uint16_t, std::unique_ptr<RelayStream>>& streams() const { return m_streams; }
    int32_t sessionCount() const { return static_cast<int32_t>(m_sessions.size()); }
    const kx::core::String& tunnelId() const { return m_tunnelId; }

    // Sent and not yet acknowledged, oldest first.
    const std::deque<Kept>& kept() const { return m_kept; }

private:
    void _acknowledge(uint32_t acked);
    void _dispatch(const tunnel::TunnelPacket& packet);
    void _open(const tunnel::TunnelPacket& packet);
    // A pooled frame buffer holding the size header and frame prefix of a
    // packet of `length` bytes; the packet bytes follow.
    kx::core::Binary _newFrame(int32_t length);
    // Numbers, keeps and writes a frame from _newFrame.
    void _sendFrame(kx::core::Binary& frame);
    void _recycle(kx::core::Binary& frame);
    void _resumeReading();

    Relay* m_relay;
    int64_t m_targetId;
    kx::core::String m_tunnelId;
    int64_t m_capacity;
    PacketCipher m_cipher;
    SwitchSession* m_holder = nullptr;
    std::deque<Kept> m_kept;
    // The newest kept packets not yet handed to the holder.
    size_t m_unwritten = 0;
    int m_batch = 0;
    bool m_inReadBuffer = false;
    int64_t m_keptBytes = 0;
    bool m_wasFull = false;
    uint32_t m_sendSequence = 0;
    uint32_t m_receiveSequence = 0;
    int64_t m_receivedSinceAck = 0;
    int64_t m_resent = 0;
    int64_t m_outOfOrder = 0;
    int64_t m_refusedOpens = 0;
    // Before the streams: they give their share back when they go.
    tunnel::GrantBudget m_grantBudget;
    tunnel::RoundTripEstimate m_roundTrip;
    std::map<uint16_t, std::unique_ptr<RelayStream>> m_streams;
    std::map<uint16_t, std::unique_ptr<RelaySession>> m_sessions;
    // Replaced by a new open with the same id; deleted on the next tick.
    std::vector<std::unique_ptr<RelayStream>> m_oldStreams;
    std::vector<std::unique_ptr<RelaySession>> m_oldSessions;
    std::vector<kx::core::Binary> m_pool;
    kx::core::Binary m_cipherText;
};

}  // namespace lab
