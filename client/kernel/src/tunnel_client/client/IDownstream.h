#pragma once

#include "core/src/value/Binary.h"

namespace tunnel {

// Where the switch connection delivers each tunnel packet it receives (the
// reliable packet layer). The counterpart of IUpstream.
class IDownstream {
public:
    virtual ~IDownstream() = default;
    virtual void receive(const kx::core::Binary& packet) = 0;
};

}  // namespace tunnel
