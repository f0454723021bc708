#pragma once

#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

// Map with String keys, in the raw code-unit order of String.
template <typename V>
class Dictionary : public Map<String, V> {
public:
    using Map<String, V>::Map;
    Dictionary() = default;
};

}  // namespace core
}  // namespace kx
