#pragma once

#include "core/src/value/String.h"
#include "core/src/value/Strings.h"

namespace tunnel {

// What the host asked for, as the launcher and its account service see it.
struct LaunchSettings {
    kx::core::String launchKey;       // the host's access key; never sent as such
    kx::core::Strings targetNames;    // always empty in this SDK
    kx::core::Strings targetGroups;   // always empty in this SDK
    kx::core::String natText;         // always empty in this SDK
    kx::core::String launchVersion;   // the client version text
    bool fastTick = false;
};

}  // namespace tunnel
