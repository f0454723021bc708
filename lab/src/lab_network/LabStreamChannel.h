#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "core/src/value/Binary.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

// The TCP channel under every relay leg of the lab (switch connections and
// back ends), built for bulk relaying:
// - One adaptive read: from READ_MIN, doubled while reads fill the buffer up
//   to READ_MAX, halved when they come back small. A short read means the
//   socket is drained, so the round ends without an empty read. The bytes go
//   to _received as a view of one buffer per thread (no zero-filling, no copy).
// - Gathered writes: addView() collects bytes that stay valid until
//   flushViews(), which writes them with one system call when nothing else is
//   queued and copies into the queue only what the socket did not take.
class LabStreamChannel : public kx::net::TcpSocketChannel {
public:
    static constexpr int READ_MIN = 16384;
    static constexpr int READ_MAX = 262144;
    // Buffers one read may fill when the owner supplies its own.
    static constexpr int READ_TARGETS = 16;

    LabStreamChannel(kx::net::Socket* socket, kx::net::SocketEventSelector* selector);
    ~LabStreamChannel() override;

    // Bytes to go out after everything queued so far; they must stay valid
    // until flushViews(), or until the end of the running read of any lab
    // channel, which flushes every channel's views (reporting the bytes
    // written through onSent).
    void addView(const uint8_t* data, int32_t length);
    // Flushes the views of every channel on this thread; the read buffer they
    // may point into is reused after this.
    static void flushAllViews();
    bool hasViews() const { return !m_views.empty(); }
    // Queued plus viewed bytes not yet written.
    int64_t pendingBytes() const { return pendingSendBytes() + m_viewBytes; }
    // Writes the views now (queues the rest); the bytes that went to the
    // socket at once, which onSent does not report.
    int64_t flushViews();
    // Writes what is queued now rather than after another poll.
    void flush();

protected:
    // One read's bytes, valid only during the call. The default copies them
    // into a buffer for _deliver (onReceive).
    virtual void _received(const uint8_t* data, int32_t length, const bool& gone);
    // True when the peer's end of stream ends its input only (the channel
    // keeps writing and _inputEnded follows); false closes the channel as a
    // read failure does.
    virtual bool _halfClose() const { return false; }
    virtual void _inputEnded() {}
    // Buffers of the owner's for the next read (at most `max`, `want` bytes
    // in all), so that bytes land where they are used; 0 reads into the
    // shared buffer for _received instead. Each call is followed by one of
    // _readInto with the bytes read (0 when none), so unused buffers can go back.
    virtual int _readTargets(iovec* targets, int max, int want) {
        (void)targets;
        (void)max;
        (void)want;
        return 0;
    }
    virtual void _readInto(int32_t length, const bool& gone) {
        (void)length;
        (void)gone;
    }

private:
    bool _readStep(const bool& gone) override;
    // One read into the owner's buffers; as _readStep.
    bool _readStepInto(iovec* targets, int count, const bool& gone);
    // Adapts the read size to a read of `got` bytes out of `asked`.
    void _adapt(int got, int asked);

    void _unlist();

    std::vector<iovec> m_views;
    bool m_listed = false;
    int64_t m_viewBytes = 0;
    int m_readSize = READ_MIN;
    kx::core::Binary m_in;
};

}  // namespace lab
