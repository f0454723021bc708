#pragma once

#include <functional>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "net/src/socket/IpAddress.h"

namespace kx {
namespace async {

// Resolves a host name to IPv4 or IPv6 addresses; the result always arrives later,
// on the reactor thread (an empty array when nothing was found).
class INameLookup {
public:
    typedef std::function<void(const core::Array<net::IpAddress>&)> Callback;

    virtual ~INameLookup() = default;
    virtual void lookup(const core::String& host, Callback callback) = 0;
};

}  // namespace async
}  // namespace kx
