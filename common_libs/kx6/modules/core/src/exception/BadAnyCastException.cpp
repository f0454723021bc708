#include "core/src/exception/BadAnyCastException.h"

namespace kx {
namespace core {

BadAnyCastException::BadAnyCastException(const char* heldType, const char* requestedType)
    : Exception(String(L"BadAnyCastException. Can not cast ") + String::fromUtf8(heldType) +
                L" to " + String::fromUtf8(requestedType)) {}

}  // namespace core
}  // namespace kx
