#pragma once

#include <utility>

#include "core/src/value/String.h"

namespace kx {
namespace util {

// One stored cookie.
class Cookie {
public:
    Cookie() = default;
    Cookie(kx::core::String domain, kx::core::String path, kx::core::String name,
           kx::core::String value)
        : domain(std::move(domain)),
          path(std::move(path)),
          name(std::move(name)),
          value(std::move(value)) {}
    virtual ~Cookie() = default;

    // name=value; domain=<domain>; path=<path>
    kx::core::String toString() const;

    bool operator==(const Cookie& other) const {
        return domain == other.domain && path == other.path && name == other.name &&
               value == other.value;
    }

    kx::core::String domain;
    kx::core::String path;
    kx::core::String name;
    kx::core::String value;
};

}  // namespace util
}  // namespace kx
