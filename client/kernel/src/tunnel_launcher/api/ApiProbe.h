#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/url/URL.h"

namespace kx {
namespace async {
class SocketReactor;
class TcpSocket;
}  // namespace async
}  // namespace kx

namespace tunnel {

// Decides whether one address of the API host race is usable: a bounded TCP
// connect, then a real enciphered "/util" "ping" through that connection.
// Runs on the calling thread with a private reactor; reads the race's done
// flag between 10 ms slices so a decided race releases it quickly.
class ApiProbe {
public:
    struct Settings {
        kx::net::URL baseUrl;
        kx::core::String encryptorSpec;
        kx::core::Strings pins;  // server key pins; empty: trust store alone
    };
    struct Result {
        bool skipped = false;
        bool ok = false;
        kx::core::String word;  // "error", "connect", "certificate", "tls", "timeout", "http <status>" or the API's text
        kx::core::String detail;  // TLS's reason for "certificate" and "tls"
    };

    static constexpr int32_t CONNECT_LIMIT = 2000;
    static constexpr int32_t SLICE_MS = 10;
    static constexpr int32_t CANCEL_BUDGET = 200;
    static constexpr int32_t MAX_BODY = 0xA00000;

    static Result probeAddress(const Settings& settings, const kx::net::IpAddress& address,
                               const std::atomic<bool>* done);

    // The port the probe connects to: the URL's, else 443 for https and 80.
    static int32_t portOf(const kx::net::URL& url);

    // Connects socket to address:port within CONNECT_LIMIT, pumping reactor;
    // true when connected. Sets cancelled when the done flag cut it short.
    static bool probeConnect(kx::async::SocketReactor* reactor, kx::async::TcpSocket* socket,
                             const kx::net::IpAddress& address, int32_t port,
                             const std::atomic<bool>* done, bool& cancelled);
};

}  // namespace tunnel
