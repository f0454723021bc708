#include "core/src/value/Storage.h"

#include <new>

namespace kx {
namespace core {

int32_t growCapacity(int64_t required) {
    int64_t size = 32;
    while (size <= required) size <<= 1;
    if (size > INT32_MAX) throw std::bad_alloc();
    return static_cast<int32_t>(size);
}

}  // namespace core
}  // namespace kx
