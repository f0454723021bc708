#pragma once

#include <cstdint>

#include "core/src/value/Any.h"

namespace kx {
namespace core {

// Lenient conversions used to read configuration and API records. They never
// throw; anything unexpected gives the empty text, false or 0.
class AnyConvert {
public:
    static String toText(const Any& value);
    static bool toBool(const Any& value);
    static int32_t toInt32(const Any& value);
    static int64_t toInt64(const Any& value);
};

}  // namespace core
}  // namespace kx
