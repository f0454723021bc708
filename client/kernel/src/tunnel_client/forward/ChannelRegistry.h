#pragma once

#include <cstdint>
#include <unordered_map>

#include "tunnel_client/protocol/TunnelPacket.h"

namespace tunnel {

// The data channels of one forward by channel id, so a packet from the switch
// finds its channel without a walk. Channels register for as long as they exist.
template <typename Channel>
class ChannelRegistry {
public:
    void attach(uint16_t id, Channel* channel) { m_channels[id] = channel; }
    void detach(uint16_t id, Channel* channel) {
        auto it = m_channels.find(id);
        if (it != m_channels.end() && it->second == channel) m_channels.erase(it);
    }
    bool has(uint16_t id) const { return m_channels.count(id) != 0; }
    Channel* find(uint16_t id) const {
        auto it = m_channels.find(id);
        return it == m_channels.end() ? nullptr : it->second;
    }
    bool isEmpty() const { return m_channels.empty(); }
    // Hands the packet to the channel its id names; false when there is none.
    bool deliver(const TunnelPacket& packet) const {
        Channel* channel = packet.hasChannel() ? find(packet.channel()) : nullptr;
        if (!channel) return false;
        channel->onPacket(packet);
        return true;
    }
    const std::unordered_map<uint16_t, Channel*>& all() const { return m_channels; }

private:
    std::unordered_map<uint16_t, Channel*> m_channels;
};

}  // namespace tunnel
