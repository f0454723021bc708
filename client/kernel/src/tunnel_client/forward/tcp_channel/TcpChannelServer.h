#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "net/src/channel/TcpSocketAccepter.h"
#include "tunnel_client/forward/tcp_channel/TcpChannel.h"

namespace kx {
namespace net {

// Listener that turns each accepted socket into a TcpChannel through a factory,
// up to a maximum number of live channels; further connections are closed at
// once. Channels that closed themselves are deleted on the selector's tick,
// never inside their own callbacks.
class TcpChannelServer : public TcpSocketAccepter {
public:
    static constexpr int MAX_CHANNELS = 1024;
    // Builds the channel for an accepted socket; null declines the connection.
    typedef std::function<std::unique_ptr<TcpChannel>(Socket*, SocketEventSelector*)> Factory;

    Factory factory;

    TcpChannelServer(SocketEventSelector* selector, const SocketAddress& local,
                     int maxChannels = MAX_CHANNELS);
    ~TcpChannelServer() override;

    // Deletes every channel at once, without their callbacks. Keeps listening.
    void close();
    // Takes one channel out of the list; the caller now owns it.
    std::unique_ptr<TcpChannel> removeChannel(TcpChannel* channel);

    int channelCount() const { return static_cast<int>(m_channels.size()); }
    int liveChannelCount() const;
    TcpChannel* channelAt(int index) const { return m_channels[size_t(index)].get(); }
    int maxChannels() const { return m_maxChannels; }

protected:
    void onSocketEvent(int events) override;
    void _accepted(Socket* socket) override;

private:
    void _sweep();

    std::vector<std::unique_ptr<TcpChannel>> m_channels;
    int m_maxChannels;
};

}  // namespace net
}  // namespace kx
