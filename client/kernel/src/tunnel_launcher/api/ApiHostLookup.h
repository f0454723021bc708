#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "async/src/INameLookup.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "core/src/value/Strings.h"
#include "net/src/socket/IpAddress.h"
#include "net/src/url/URL.h"
#include "tunnel_launcher/api/ApiProbe.h"

namespace kx {
namespace async {
class SocketReactor;
class ThreadExecutor;
}  // namespace async
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

// Name lookup for the control API's HTTP client. It ignores the host asked
// for and races the configured host groups instead: the first address that
// answers a real enciphered ping wins. The race runs on the executor; results
// come back to the reactor thread through a polled hand-over list.
class ApiHostLookup : public kx::async::INameLookup {
public:
    typedef kx::core::Array<kx::net::IpAddress> Addresses;
    // Probes one address; the default is the real connect-and-ping probe.
    typedef std::function<ApiProbe::Result(const kx::net::IpAddress&, const std::atomic<bool>* done)> Prober;
    // Resolves a host name (blocking); the default is the system resolver.
    typedef std::function<Addresses(const kx::core::String&)> Resolver;

    static constexpr int32_t POLL_MS = 15;
    static constexpr int32_t GROUP_POOL_THREADS = 3;
    static constexpr int32_t GROUP_POLL_MS = 30;
    // Delay between the start of one resolved address's probe and the next.
    static constexpr int32_t STAGGER_MS = 250;
    static constexpr int32_t MAX_RACERS = 8;

    // reactor, executor and logger are not owned; logger may be null.
    ApiHostLookup(kx::async::SocketReactor* reactor, kx::async::ThreadExecutor* executor,
                  const kx::core::Array<kx::core::Strings>& hostGroups, const kx::net::URL& baseUrl,
                  const kx::core::String& encryptorSpec, kx::util::ILogRecorder* logger);
    // Requires inflight() == 0.
    ~ApiHostLookup() override;

    void lookup(const kx::core::String& host, Callback callback) override;

    // Lookups started and not yet delivered.
    int32_t inflight() const { return m_inflight; }
    // The last delivered list was empty.
    bool lastLookupEmpty() const { return m_lastLookupEmpty; }
    bool pollArmed() const { return m_pollTimer != 0; }

    // Server key pins for the race's probes; set before the first lookup.
    void setPins(const kx::core::Strings& pins);
    // TLS's reason from the last race in which an address failed on it
    // (a refused certificate); empty when no address failed that way.
    kx::core::String lastFailureText() const;

    // Test seams; set before the first lookup.
    void setProber(Prober prober) { m_prober = std::move(prober); }
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }
    // Resolves an IPv4 literal that did not answer (NAT64 synthesis).
    void setLiteralResolver(Resolver resolver) { m_literalResolver = std::move(resolver); }

    // Blocking: races every group in order; the winner or an empty list.
    Addresses race();
    // Makes running and queued races give up quickly (teardown); their
    // results are still delivered, empty.
    void abort() { m_aborting = true; }

    // Log masking: "'" + first character + "'" for a name, a.*.*.d for an address.
    // An IPv6 address keeps its first and last group: 2001:*:1.
    static kx::core::String maskName(const kx::core::String& name);
    static kx::core::String maskAddress(const kx::net::IpAddress& address);

private:
    struct DoneItem {
        Callback callback;
        Addresses addresses;
    };

    kx::net::IpAddress _raceGroup(const kx::core::Strings& group);
    void _postDeliver(Callback callback, Addresses addresses);
    void _deliver(const Callback& callback, const Addresses& addresses);
    void _armPoll();
    void _onPoll(bool fired);
    void _drain();
    void _log(const kx::core::String& text);

    kx::async::SocketReactor* m_reactor;
    kx::async::ThreadExecutor* m_executor;
    kx::core::Array<kx::core::Strings> m_hostGroups;
    kx::net::URL m_baseUrl;
    kx::core::String m_encryptorSpec;
    kx::util::ILogRecorder* m_logger;
    Prober m_prober;
    Resolver m_resolver;
    Resolver m_literalResolver;
    mutable std::mutex m_mutex;
    kx::core::Array<DoneItem> m_done;
    kx::core::String m_lastFailure;
    std::atomic<bool> m_aborting{false};
    int m_pollTimer = 0;
    int32_t m_inflight = 0;
    bool m_lastLookupEmpty = false;
};

}  // namespace tunnel
