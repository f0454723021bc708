#include "async/src/StaticNameLookup.h"

#include <utility>

#include "async/src/Reactor.h"
#include "core/src/debug/Assert.h"

namespace kx {
namespace async {

StaticNameLookup::StaticNameLookup(Reactor* reactor, HostMap hosts)
    : m_reactor(reactor), m_hosts(std::move(hosts)) {}

StaticNameLookup::~StaticNameLookup() {
    KX_ASSERT(m_inflight == 0);
}

void StaticNameLookup::lookup(const core::String& host, Callback callback) {
    if (!callback || !m_reactor) return;
    _postDeliver(m_hosts.get(host), std::move(callback));
}

void StaticNameLookup::_postDeliver(core::Array<net::IpAddress> addresses, Callback callback) {
    ++m_inflight;
    m_reactor->post([this, addresses, callback]() {
        KX_ASSERT(m_inflight > 0);
        --m_inflight;
        callback(addresses);
    });
}

}  // namespace async
}  // namespace kx
