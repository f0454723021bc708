#pragma once

#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "lab_switch/SwitchConfig.h"

namespace lab {

class LabNetwork;

// The target records a lab answers enum_targets with, in the shape the
// launcher reads: one target per route target id (in order of first
// appearance), every switch of the lab as a node, and every route as a
// forward whose standby port is its back end's own port.
class ApiTargets {
public:
    // Addresses come from the running network, so port 0 in the file is
    // resolved to the port each server got.
    static kx::core::Array<kx::core::Any> fromLab(const LabConfig& config,
                                                  const LabNetwork& network);

    ApiTargets() = delete;
};

}  // namespace lab
