#pragma once

#include <cstdint>

#include "core/src/exception/Exception.h"

namespace kx {
namespace core {

class OutOfRangeException : public Exception {
public:
    OutOfRangeException();
    OutOfRangeException(int32_t index, int32_t size);
};

}  // namespace core
}  // namespace kx
