#pragma once

#include <cstdint>
#include <functional>

#include "core/src/value/Binary.h"

namespace kx {
namespace async {

class SocketReactor;

// An asynchronous byte stream (a TCP socket or a TLS session on one). Every
// completion arrives later through the stream's reactor, never inside the
// call that started the operation. Time limits are in ms; negative: none.
class StreamSocket {
public:
    typedef std::function<void(core::Binary&)> RecvCallback;
    typedef std::function<void(bool)> SendCallback;
    typedef std::function<void()> CloseCallback;

    virtual ~StreamSocket() = default;
    // Up to maxBytes; an empty Binary means end of stream, error or timeout.
    virtual void recv(int32_t maxBytes, RecvCallback callback, int32_t timeoutMs) = 0;
    virtual void send(const core::Binary& data, SendCallback callback, int32_t timeoutMs) = 0;
    // Graceful close: pending work ends, the peer sees an orderly end.
    virtual void close(CloseCallback callback) = 0;
    // Immediate close: everything pending fails, the peer sees a reset.
    virtual void abort(CloseCallback callback) = 0;
    virtual SocketReactor* reactor() const = 0;
    // Nothing pending.
    virtual bool idle() const = 0;
    virtual bool isValid() const = 0;
};

}  // namespace async
}  // namespace kx
