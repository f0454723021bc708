#include "core/src/exception/OutOfRangeException.h"

namespace kx {
namespace core {

OutOfRangeException::OutOfRangeException() : Exception(String(L"OutOfRangeException")) {}

OutOfRangeException::OutOfRangeException(int32_t index, int32_t size)
    : Exception(String(L"OutOfRangeException. Index ") + String::fromInt32(index) +
                L" out of range [0, " + String::fromInt32(size) + L")") {}

}  // namespace core
}  // namespace kx
