#include "tunnel_launcher/api/ApiHostLookup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "async/src/SocketReactor.h"
#include "async/src/ThreadExecutor.h"
#include "core/src/debug/Assert.h"
#include "tunnel_client/node/AddressMask.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

using kx::core::String;
using kx::net::IpAddress;

namespace {

int64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// The shared state of one group's race: the entries' tasks run on up to three
// pool threads; their completions run on the race thread.
struct GroupRace {
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::set<IpAddress> tried;
    std::deque<std::function<void()>> completions;
    size_t next = 0;
    int outstanding = 0;

    // True when the address was not tried before in this group.
    bool claim(const IpAddress& address) {
        if (address.isAny()) return false;
        std::lock_guard<std::mutex> lock(mutex);
        return tried.insert(address).second;
    }
};

// Alternates the families, starting with the resolver's first choice, so a
// broken family costs one stagger step rather than all of its addresses.
ApiHostLookup::Addresses interleaveFamilies(const ApiHostLookup::Addresses& addresses) {
    if (addresses.isEmpty()) return addresses;
    ApiHostLookup::Addresses first, other, out;
    for (const IpAddress& address : addresses) {
        (address.family() == addresses[0].family() ? first : other).append(address);
    }
    for (int32_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) out.append(first[i]);
        if (i < other.size()) out.append(other[i]);
    }
    return out;
}

}  // namespace

ApiHostLookup::ApiHostLookup(kx::async::SocketReactor* reactor, kx::async::ThreadExecutor* executor,
                             const kx::core::Array<kx::core::Strings>& hostGroups,
                             const kx::net::URL& baseUrl, const String& encryptorSpec,
                             kx::util::ILogRecorder* logger)
    : m_reactor(reactor),
      m_executor(executor),
      m_hostGroups(hostGroups),
      m_baseUrl(baseUrl),
      m_encryptorSpec(encryptorSpec),
      m_logger(logger) {
    ApiProbe::Settings settings{baseUrl, encryptorSpec, kx::core::Strings()};
    m_prober = [settings](const IpAddress& address, const std::atomic<bool>* done) {
        return ApiProbe::probeAddress(settings, address, done);
    };
    m_resolver = [](const String& name) { return IpAddress::lookupAllFamilies(name); };
    m_literalResolver = m_resolver;
}

void ApiHostLookup::setPins(const kx::core::Strings& pins) {
    ApiProbe::Settings settings{m_baseUrl, m_encryptorSpec, pins};
    m_prober = [settings](const IpAddress& address, const std::atomic<bool>* done) {
        return ApiProbe::probeAddress(settings, address, done);
    };
}

String ApiHostLookup::lastFailureText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastFailure;
}

ApiHostLookup::~ApiHostLookup() {
    if (m_pollTimer != 0) {
        m_reactor->cancelDelay(m_pollTimer);
        m_pollTimer = 0;
    }
    KX_ASSERT(m_inflight == 0);
}

String ApiHostLookup::maskName(const String& name) {
    return L"'" + name.substring(0, 1) + L"'";
}

String ApiHostLookup::maskAddress(const IpAddress& address) {
    if (address.isV6()) return AddressMask::mask(address);
    uint32_t v = address.value();
    return String::fromInt32(int32_t(v >> 24)) + L".*.*." + String::fromInt32(int32_t(v & 0xFF));
}

void ApiHostLookup::_log(const String& text) {
    if (m_logger) m_logger->info(text);
}

void ApiHostLookup::lookup(const String& host, Callback callback) {
    if (!callback || !m_reactor) return;
    ++m_inflight;
    if (host.isEmpty() || !m_executor) {
        _postDeliver(std::move(callback), Addresses());
        return;
    }
    m_executor->post([this, callback]() {
        Addresses result = race();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.append(DoneItem{callback, result});
    });
    _armPoll();
}

void ApiHostLookup::_armPoll() {
    if (m_pollTimer != 0) return;
    m_pollTimer = m_reactor->delay(
        [this](bool fired) {
            // A cancelled timer is only cancelled by this object (which may be
            // gone by the time the reactor reports it): touch nothing.
            if (!fired) return;
            m_pollTimer = 0;
            _drain();
            if (m_inflight >= 1) _armPoll();
        },
        POLL_MS);
}

void ApiHostLookup::_drain() {
    for (;;) {
        DoneItem item;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_done.isEmpty()) return;
            item = m_done[0];
            m_done.removeAt(0);
        }
        _deliver(item.callback, item.addresses);
    }
}

void ApiHostLookup::_postDeliver(Callback callback, Addresses addresses) {
    m_reactor->post([this, callback, addresses]() { _deliver(callback, addresses); });
}

void ApiHostLookup::_deliver(const Callback& callback, const Addresses& addresses) {
    m_lastLookupEmpty = addresses.isEmpty();
    if (callback) callback(addresses);
    KX_ASSERT(m_inflight > 0);
    --m_inflight;
    if (m_inflight == 0 && m_pollTimer != 0) {
        m_reactor->cancelDelay(m_pollTimer);
        m_pollTimer = 0;
    }
}

ApiHostLookup::Addresses ApiHostLookup::race() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastFailure.clear();
    }
    for (int32_t i = 0; i < m_hostGroups.size(); ++i) {
        IpAddress winner = m_aborting ? IpAddress() : _raceGroup(m_hostGroups[i]);
        if (!winner.isAny()) {
            _log(L"[Dns] race group=" + String::fromInt32(i) + L" winner=" + maskAddress(winner) + L" ok");
            return Addresses{winner};
        }
        _log(L"[Dns] race group=" + String::fromInt32(i) + L" fail");
    }
    _log(L"[Dns] race fail");
    return Addresses();
}

IpAddress ApiHostLookup::_raceGroup(const kx::core::Strings& group) {
    std::vector<String> entries;
    for (const String& entry : group) {
        if (!entry.isEmpty()) entries.push_back(entry);
    }
    if (entries.empty()) return IpAddress();

    GroupRace state;
    state.outstanding = int(entries.size());
    IpAddress winner;  // written only by completions, on this thread

    auto pingOne = [this, &state, &winner](const IpAddress& address) {
        const String masked = maskAddress(address);
        if (state.done) {
            _log(L"[Dns] ping " + masked + L" skip");
            return;
        }
        auto started = std::chrono::steady_clock::now();
        ApiProbe::Result result = m_prober(address, &state.done);
        if (result.skipped) {
            _log(L"[Dns] ping " + masked + L" skip");
            return;
        }
        _log(L"[Dns] ping " + masked + L" " + String::fromInt64(elapsedMs(started)) + L"ms " +
             (result.ok ? String(L"ok") : L"fail " + result.word));
        if (!result.ok) {
            // A refused certificate counts as this address failing; the
            // reason is kept for the error the caller finally sees.
            if (!result.detail.isEmpty()) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lastFailure = masked + L": " + result.detail;
            }
            return;
        }
        state.done = true;
        std::lock_guard<std::mutex> lock(state.mutex);
        state.completions.push_back([address, &winner]() {
            if (winner.isAny()) winner = address;
        });
    };

    // The addresses of one name race each other, each started STAGGER_MS
    // after the one before unless a winner is already known.
    auto raceAddresses = [&state, &pingOne](const Addresses& addresses) {
        std::vector<std::thread> racers;
        int32_t slot = 0;
        for (const IpAddress& address : addresses) {
            if (!state.claim(address)) continue;
            const int32_t delayMs = slot++ * STAGGER_MS;
            auto race = [&state, &pingOne, address, delayMs]() {
                auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
                while (!state.done && std::chrono::steady_clock::now() < start)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                pingOne(address);
            };
            if (racers.size() >= size_t(MAX_RACERS)) {
                race();
                continue;
            }
            try {
                racers.emplace_back(race);
            } catch (const std::exception&) {
                race();
            }
        }
        for (std::thread& racer : racers) racer.join();
    };

    auto runEntry = [this, &state, &pingOne, &raceAddresses](const String& entry) {
        IpAddress literal = IpAddress::fromText(entry);
        if (!literal.isAny()) {
            if (!state.claim(literal)) return;
            pingOne(literal);
            // An IPv4 literal that cannot be reached may still be reachable
            // through NAT64 on an IPv6-only network: the system resolver then
            // synthesises an IPv6 address for it.
            if (!state.done && !literal.isV6()) {
                Addresses synthesised;
                for (const IpAddress& address : m_literalResolver(entry)) {
                    if (address.isV6()) synthesised.append(address);
                }
                raceAddresses(synthesised);
            }
            return;
        }
        const String masked = maskName(entry);
        if (state.done) {
            _log(L"[Dns] resolve " + masked + L" skip");
            return;
        }
        auto started = std::chrono::steady_clock::now();
        Addresses addresses = m_resolver(entry);
        if (state.done) {
            _log(L"[Dns] resolve " + masked + L" skip");
            return;
        }
        _log(L"[Dns] resolve " + masked + L" " + String::fromInt64(elapsedMs(started)) + L"ms " +
             (addresses.isEmpty() ? String(L"fail") : L"ok addrs=" + String::fromInt32(addresses.size())));
        raceAddresses(interleaveFamilies(addresses));
    };

    auto worker = [&state, &entries, &runEntry]() {
        for (;;) {
            size_t index;
            {
                std::lock_guard<std::mutex> lock(state.mutex);
                if (state.next >= entries.size()) return;
                index = state.next++;
            }
            runEntry(entries[index]);
            std::lock_guard<std::mutex> lock(state.mutex);
            --state.outstanding;
            state.changed.notify_all();
        }
    };

    std::vector<std::thread> pool;
    const size_t threads = std::min(entries.size(), size_t(GROUP_POOL_THREADS));
    for (size_t i = 0; i < threads; ++i) {
        try {
            pool.emplace_back(worker);
        } catch (const std::exception&) {
            break;  // no thread to be had: the ones we have (or this one) do the work
        }
    }
    if (pool.empty()) worker();

    // Runs the completions queued so far; true when no task is outstanding.
    auto runCompletions = [&state]() {
        for (;;) {
            std::function<void()> completion;
            {
                std::unique_lock<std::mutex> lock(state.mutex);
                if (state.completions.empty()) return state.outstanding == 0;
                completion = std::move(state.completions.front());
                state.completions.pop_front();
            }
            completion();
        }
    };
    auto waitSlice = [&state]() {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.changed.wait_for(lock, std::chrono::milliseconds(GROUP_POLL_MS),
                               [&state]() { return state.outstanding == 0 || !state.completions.empty(); });
    };

    for (;;) {
        bool finished = runCompletions();
        if (m_aborting) state.done = true;
        if (!winner.isAny()) {
            state.done = true;
            break;
        }
        if (finished) break;
        waitSlice();
    }
    // The losers still finish (they see the done flag within a slice);
    // their results are dropped.
    while (!runCompletions()) {
        waitSlice();
    }
    for (std::thread& thread : pool) thread.join();
    return winner;
}

}  // namespace tunnel
