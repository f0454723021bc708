#pragma once

#include <cstdint>

#include "core/src/value/Binary.h"

namespace lab {

// What a connection does with one request: the response bytes and how to
// deliver them.
struct ApiAnswer {
    kx::core::Binary bytes;  // status line, headers and body
    int32_t status = 0;
    int32_t delayMs = 0;  // hold the bytes back this long
    bool cut = false;     // send the first half only, then close
    bool close = false;   // close once the bytes are out
    bool silent = false;  // never answer (the connection stays until it times out)
};

}  // namespace lab
