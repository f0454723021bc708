#pragma once

#include <cstdint>

#include "core/src/value/String.h"

namespace tunnel {

// A failure reported by or about a node: -1 with an empty message when the
// connection failed or closed before login, otherwise what the node sent.
struct Error {
    int32_t code = 0;
    kx::core::String message;

    Error() = default;
    Error(int32_t c, kx::core::String m) : code(c), message(std::move(m)) {}

    bool operator==(const Error& other) const {
        return code == other.code && message == other.message;
    }
    bool operator!=(const Error& other) const { return !(*this == other); }
};

}  // namespace tunnel
