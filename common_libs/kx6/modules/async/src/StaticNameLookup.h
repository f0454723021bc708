#pragma once

#include "async/src/INameLookup.h"
#include "core/src/value/Map.h"

namespace kx {
namespace async {

class Reactor;

// Name lookup from a fixed table: unknown hosts resolve to nothing.
class StaticNameLookup : public INameLookup {
public:
    typedef core::Map<core::String, core::Array<net::IpAddress>> HostMap;

    StaticNameLookup(Reactor* reactor, HostMap hosts);
    ~StaticNameLookup() override;

    void lookup(const core::String& host, Callback callback) override;
    bool idle() const { return m_inflight == 0; }

private:
    void _postDeliver(core::Array<net::IpAddress> addresses, Callback callback);

    Reactor* m_reactor;
    HostMap m_hosts;
    int m_inflight = 0;
};

}  // namespace async
}  // namespace kx
