#pragma once

#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace kx {
namespace net {

// Header map of the HTTP records: names as written, ordered by name.
// Repeated headers of a response arrive as one entry, values joined by "\r\n".
typedef kx::core::Map<kx::core::String, kx::core::String> HttpHeaders;

}  // namespace net
}  // namespace kx
