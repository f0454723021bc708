#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {
namespace core {

// Growth rule shared by String, Binary and Array: the smallest power of two,
// at least 32, that is greater than the number of units asked for. Throws
// std::bad_alloc when that does not fit a signed 32-bit capacity.
int32_t growCapacity(int64_t required);

}  // namespace core
}  // namespace kx
