#pragma once

#include <deque>

#include "net/src/channel/TcpSocketChannel.h"

namespace kx {
namespace net {

// Local-connection channel of the forwards. Like TcpSocketChannel (read credit,
// idle timer, graceful close and abort), but every send() is one message and
// onSent reports bytes per message, never across a boundary: the tunnel's
// window accounting rests on that. One write may still carry several
// messages; its bytes are reported message by message.
class TcpChannel : public TcpSocketChannel {
public:
    TcpChannel(Socket* socket, SocketEventSelector* selector);
    ~TcpChannel() override;

    bool isValid() const { return isOpen(); }
    // Keep limits of the receive and send buffers (see setKeepCapacity).
    void setKeepLimits(int receive, int send) { setKeepCapacity(receive, send); }
    // Messages queued and not yet completely written.
    int pendingMessages() const { return m_sendLengths.size(); }

protected:
    void _queued(int length) override;
    void _sent(int length, const bool& gone) override;
    void _sendDropped() override;

private:
    // Lengths of the queued messages, oldest first.
    class LengthQueue {
    public:
        bool isEmpty() const { return m_items.empty(); }
        int size() const { return static_cast<int>(m_items.size()); }
        int& front() { return m_items.front(); }
        void push(int length) { m_items.push_back(length); }
        void pop() { m_items.pop_front(); }
        void clear() { std::deque<int>().swap(m_items); }

    private:
        std::deque<int> m_items;
    };

    LengthQueue m_sendLengths;
};

}  // namespace net
}  // namespace kx
