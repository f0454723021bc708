#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/src/value/Binary.h"
#include "net/src/channel/SelectorChannel.h"
#include "net/src/channel/SendQueue.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketAddress.h"
#include "net/src/socket/SocketEventSelector.h"

namespace kx {
namespace net {

// Non-blocking byte stream on a selector: a send queue, receive credit (nothing
// is read until the owner grants it) and an idle timer. All I/O happens inside
// the selector's callbacks.
//
// The send queue has no limit of its own. An owner that must bound memory
// against a peer that never reads watches pendingSendBytes() (or counts onSent)
// and stops producing, or aborts, past its own threshold.
//
// Callbacks may call back into the channel (send, closeGracefully, abort,
// closeNow) and may even delete it once it is unregistered (exportSocket or
// closed); the channel touches nothing after such a callback.
class TcpSocketChannel : public SelectorChannel {
public:
    static constexpr int IDLE_TIMEOUT_MS = 120000;
    // Bytes asked of one read system call: from READ_CHUNK_MIN, doubled while
    // reads fill the buffer up to READ_CHUNK, halved when they come back
    // small (the buffer is zero-filled to the size asked). Reads go to one
    // buffer per thread, so an idle channel holds no read buffer at all.
    static constexpr int READ_CHUNK = 65536;
    static constexpr int READ_CHUNK_MIN = 8192;
    // Reads per event: at most 1 MiB before the loop serves anybody else.
    static constexpr int STREAM_READ_BURST = 16;
    static constexpr int KEEP_CAPACITY = 16384;
    // Unread input dropped before an orderly close, at most DRAIN_READS reads
    // of DRAIN_CHUNK bytes (256 KiB): more means a peer still sending, which
    // the reset then tells.
    static constexpr int DRAIN_CHUNK = 4096;
    static constexpr int DRAIN_READS = 64;

    std::function<void(core::Binary&)> onReceive;  // the buffer is cleared after the call
    std::function<void(int)> onSent;               // bytes written to the socket
    // When set, the peer's end of stream does not close the channel: reading
    // stops (recv() is refused from then on), writing goes on, and this is
    // called instead of onClosed. The owner closes when it is done. Unset, an
    // end of stream closes the channel as any read failure does.
    std::function<void()> onInputEnded;

    // Takes over a valid socket's descriptor (the caller's Socket becomes
    // invalid). Otherwise the channel stays STATE_INVALID.
    TcpSocketChannel(Socket* socket, SocketEventSelector* selector);
    ~TcpSocketChannel() override;

    // Queues the bytes; they are written soon after the running callback
    // returns (or at the start of the next round), without waiting for a poll.
    // Queued sends go out together in one gathered system call.
    bool send(const core::Binary& data);
    bool send(core::Binary&& data);  // a large buffer is queued without a copy
    // Queues head and body back to back as one message; the head is copied,
    // and so is the body unless `shared` holds it: then the channel keeps a
    // reference instead, and the body must not change until it is written.
    bool send(const void* head, int headLength, const core::Binary& body);
    bool send(const void* head, int headLength, const std::shared_ptr<const core::Binary>& shared);
    // Hands out a written buffer of at least minCapacity kept for reuse, so a
    // producer that moves buffers in gets storage back; false when none.
    bool takeSpareBuffer(core::Binary* into, int minCapacity) {
        return m_sendQueue.takeSpare(into, minCapacity);
    }
    void abort();                    // reset at the next round, then onClosed

    bool isOpen() const { return m_socket.isValid(); }
    // Bytes accepted by send() and not yet written to the socket.
    int64_t pendingSendBytes() const {
        return m_sendQueue.bytes();
    }
    const SocketAddress& peerAddress() const { return m_peerAddress; }
    int handle() const { return m_socket.handle(); }

    // Idle timer (120 s at construction; interval 0 disables it).
    void setIdleTimeout(int ms) { m_idleTimer.start(ms); }
    // Capacity a buffer may keep once emptied; above it the memory is released.
    void setKeepCapacity(int receive, int send);
    // Runs the periodic checks (idle timeout, end of closing or aborting) now.
    void tick() { onSocketEvent(0); }

protected:
    // Delivers received bytes; the default passes them to onReceive. `gone`
    // turns true when a callback destroyed the channel: touch nothing then.
    virtual void _deliver(core::Binary& data, const bool& gone);
    // Write-boundary hooks for message-oriented subclasses.
    virtual int _writeLimit(int available) { return available; }
    virtual void _queued(int length) { (void)length; }
    virtual void _written(int length) { (void)length; }
    virtual void _sendDropped() {}
    // Reports bytes written; the default passes them to onSent. `gone` as in
    // _deliver.
    virtual void _sent(int length, const bool& gone) {
        (void)gone;
        if (onSent) onSent(length);
    }

    // Close without callbacks (asserts a non-invalid state for a valid socket).
    void _close() override;
    SocketEventSelector* _selector() const { return m_selector; }
    Socket& _socket() { return m_socket; }

private:
    bool _readStep(const bool& gone) override;
    bool _writeStep(const bool& gone) override;
    int _readBurst() const override { return STREAM_READ_BURST; }
    bool _hasPendingSend() const override { return !m_sendQueue.isEmpty(); }
    bool _fits(int64_t length) const {
        return m_sendQueue.bytes() + length <= int64_t(INT32_MAX) - 1;
    }
    void _afterQueued(int length);

    SocketAddress m_peerAddress;
    SendQueue m_sendQueue;
    int m_readSize = READ_CHUNK_MIN;
    core::Binary m_recvBuffer;  // only when the thread's read buffer is busy
    int m_recvKeep;
    int m_sendKeep;
};

}  // namespace net
}  // namespace kx
