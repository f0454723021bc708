#pragma once

#include <cstdint>

namespace tunnel {

// How far the launcher's clients have come.
struct LauncherStatus {
    int32_t clientCount = 0;  // tunnel clients made
    int32_t readyCount = 0;   // clients whose tunnel is open and connected
};

}  // namespace tunnel
