#pragma once

#include "core/src/value/Binary.h"

namespace tunnel {

// The face of the switch connection that currently carries a tunnel: the
// downstream layer hands it one complete tunnel packet at a time.
class IUpstream {
public:
    virtual ~IUpstream() = default;
    virtual void send(const kx::core::Binary& packet) = 0;
};

}  // namespace tunnel
