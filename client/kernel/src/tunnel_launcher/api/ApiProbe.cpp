#include "tunnel_launcher/api/ApiProbe.h"

#include <utility>

#include "async/src/SocketReactor.h"
#include "async/src/StaticNameLookup.h"
#include "async/src/TcpSocket.h"
#include "core/src/time/Timer.h"
#include "net/src/socket/SocketAddress.h"
#include "tunnel_launcher/api/ApiClient.h"
#include "tunnel_launcher/api/EncryptedHttpClient.h"
#include "util/src/http/DirectHttpAccess.h"
#include "web/src/DirectHttpClient.h"

namespace tunnel {

using kx::async::SocketReactor;
using kx::core::String;
using kx::net::IpAddress;

namespace {

const int32_t WIND_DOWN_LIMIT = 10000;

// Pumps until ready() or the limit; true when ready() held.
template <typename Ready>
bool pumpUntil(SocketReactor& reactor, Ready ready, int32_t limitMs) {
    kx::core::Timer limit(limitMs);
    while (!ready()) {
        if (limit.isExpired()) return false;
        reactor.runOnce(ApiProbe::SLICE_MS);
    }
    return true;
}

String cleanWord(const String& text) {
    String out;
    for (wchar_t c : text) out += (c == L'\r' || c == L'\n') ? L' ' : c;
    int32_t first = 0;
    int32_t last = out.length();
    while (first < last && out[first] <= L' ') ++first;
    while (last > first && out[last - 1] <= L' ') --last;
    out = out.substring(first, last - first);
    return out.isEmpty() ? String(L"error") : out;
}

}  // namespace

int32_t ApiProbe::portOf(const kx::net::URL& url) {
    String portText;
    kx::net::URL::splitAuthority(url.host(), nullptr, &portText);
    int32_t port = portText.isEmpty() ? 0 : portText.toInt32();
    if (port < 1 || port > 65535) port = url.scheme().toLower() == L"https" ? 443 : 80;
    return port;
}

bool ApiProbe::probeConnect(SocketReactor* reactor, kx::async::TcpSocket* socket,
                            const IpAddress& address, int32_t port, const std::atomic<bool>* done,
                            bool& cancelled) {
    cancelled = false;
    bool finished = false;
    bool connected = false;
    socket->connect(
        kx::net::SocketAddress(address, uint16_t(port)),
        [&finished, &connected](bool ok) {
            connected = ok;
            finished = true;
        },
        CONNECT_LIMIT);
    // A cancel (disconnect) completes the connect at once with false.
    while (!finished) {
        if (!cancelled && done && *done) {
            cancelled = true;
            socket->disconnect(nullptr);
        }
        reactor->runOnce(SLICE_MS);
    }
    return connected && !cancelled;
}

ApiProbe::Result ApiProbe::probeAddress(const Settings& settings, const IpAddress& address,
                                        const std::atomic<bool>* done) {
    Result result;
    auto isDone = [done]() { return done && *done; };
    if (address.isAny()) {
        result.word = L"error";
        return result;
    }
    if (isDone()) {
        result.skipped = true;
        return result;
    }
    String host;
    if (!kx::net::URL::splitAuthority(settings.baseUrl.host(), &host, nullptr) || host.isEmpty()) {
        result.word = L"error";
        return result;
    }
    const int32_t port = portOf(settings.baseUrl);

    SocketReactor reactor(SLICE_MS);
    if (isDone()) {
        result.skipped = true;
        return result;
    }

    bool cancelled = false;
    bool connected = false;
    {
        kx::async::TcpSocket socket(&reactor);
        connected = probeConnect(&reactor, &socket, address, port, done, cancelled);
        if (socket.isValid()) {
            bool closed = false;
            socket.disconnect([&closed]() { closed = true; });
            pumpUntil(
                reactor, [&closed]() { return closed; }, CANCEL_BUDGET);
            // The close callback refers to this frame: it must have run.
            while (!closed) reactor.runOnce(SLICE_MS);
        }
    }
    if (cancelled || isDone()) {
        result.skipped = true;
        return result;
    }
    if (!connected) {
        result.word = L"connect";
        return result;
    }

    kx::async::StaticNameLookup::HostMap hosts;
    hosts.set(host, kx::core::Array<IpAddress>{address});
    kx::async::StaticNameLookup lookup(&reactor, hosts);
    uint32_t pingTime = ApiClient::PING_FAILED;
    bool pumpCancelled = false;
    bool pumpTimedOut = false;
    int32_t status = -1;
    String apiError;
    String tlsError;
    {
        kx::web::DirectHttpClient client(&reactor, &lookup, 0, MAX_BODY);
        // The name checked against the certificate is the URL's host, not
        // the address raced to: a literal address must not dodge the check.
        client.tlsSettings().setPins(settings.pins);
        // Gives up as soon as the race is decided.
        kx::util::DirectHttpAccess pump(&reactor, &client);
        pump.stop = isDone;
        EncryptedHttpClient encrypted(&pump, settings.encryptorSpec);
        ApiClient api(&encrypted, settings.baseUrl);
        pingTime = api.ping();
        apiError = api.lastErrorText();
        pumpCancelled = pump.cancelled();
        pumpTimedOut = pump.timedOut();
        status = pump.status();
        tlsError = client.lastErrorText();

        if (!client.idle()) client.cancel();
        const int32_t limit = pumpCancelled ? CANCEL_BUDGET : WIND_DOWN_LIMIT;
        kx::core::Timer windDown(limit);
        pumpUntil(
            reactor, [&client]() { return client.idle(); }, limit);
        pumpUntil(
            reactor, [&reactor]() { return reactor.idle(); }, windDown.remaining());
        // The client may not go away busy; its own timers end what is left.
        while (!client.idle()) reactor.runOnce(SLICE_MS);
    }
    pumpUntil(
        reactor, [&reactor]() { return reactor.idle(); }, CANCEL_BUDGET);

    if (pingTime != ApiClient::PING_FAILED) {
        result.ok = true;
    } else if (pumpCancelled || isDone()) {
        result.skipped = true;
    } else if (!tlsError.isEmpty()) {
        result.word = tlsError.startsWith(L"certificate") ? L"certificate" : L"tls";
        result.detail = tlsError;
    } else if (pumpTimedOut) {
        result.word = L"timeout";
    } else if (status >= 400) {
        result.word = L"http " + String::fromInt32(status);
    } else if (status < 0) {
        result.word = L"connect";
    } else {
        result.word = cleanWord(apiError);
    }
    return result;
}

}  // namespace tunnel
