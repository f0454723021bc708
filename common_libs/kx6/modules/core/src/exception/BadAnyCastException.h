#pragma once

#include "core/src/exception/Exception.h"

namespace kx {
namespace core {

class BadAnyCastException : public Exception {
public:
    BadAnyCastException(const char* heldType, const char* requestedType);
};

}  // namespace core
}  // namespace kx
