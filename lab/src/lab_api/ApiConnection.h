#pragma once

#include <cstdint>
#include <memory>

#include "core/src/time/Timer.h"
#include "core/src/value/Binary.h"
#include "lab_api/ApiAnswer.h"
#include "lab_api/ApiRequestParser.h"
#include "net/src/channel/TcpSocketChannel.h"

namespace lab {

class ApiService;
class TlsServerContext;
class TlsServerSession;

// One client of the API server, plain or TLS: reads requests one at a time
// (pipelined ones wait their turn), answers them through the service and
// applies the answer's delivery faults. Bounded: at most head + body limit
// bytes are buffered, reading stops while a large answer is still queued, and
// a request (or TLS handshake) that does not complete within the client
// timeout ends the connection.
class ApiConnection {
public:
    static constexpr int32_t READ_SIZE = 16384;
    static constexpr int64_t SEND_BACKLOG_LIMIT = 1 << 20;
    static constexpr int32_t IDLE_TIMEOUT_MS = 60000;

    // Owned here; the listener deletes the connection from its tick once
    // `closed` is set.
    std::unique_ptr<kx::net::TcpSocketChannel> channel;
    bool closed = false;

    ApiConnection();
    ~ApiConnection();
    ApiConnection(const ApiConnection&) = delete;
    ApiConnection& operator=(const ApiConnection&) = delete;

    // tls null: plain HTTP.
    void start(ApiService* service, const TlsServerContext* tls, int32_t headLimit,
               int32_t bodyLimit, int32_t timeoutMs);
    // Refuses a connection over the limit, instead of start(): 503 on plain
    // HTTP, a close on TLS.
    void refuse(bool secure);
    // Releases held answers and ends clients that are too slow.
    void tick();

private:
    void _onReceive(kx::core::Binary& data);
    void _process();
    void _deliver(const ApiAnswer& answer);
    void _send(const ApiAnswer& answer);
    void _write(const kx::core::Binary& plain);
    void _flushTls();
    void _end(bool notify);
    void _grant();
    void _settle();

    ApiService* m_service = nullptr;
    std::unique_ptr<TlsServerSession> m_tls;
    std::unique_ptr<ApiRequestParser> m_parser;
    kx::core::Binary m_inbox;
    int32_t m_inboxLimit = 0;
    int32_t m_timeoutMs = 0;
    kx::core::Timer m_deadline;
    bool m_deadlineArmed = false;
    ApiAnswer m_held;
    bool m_holding = false;
    kx::core::Timer m_holdTimer;
    bool m_silent = false;
    bool m_ending = false;
};

}  // namespace lab
