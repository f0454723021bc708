#include "core/src/value/Type.h"

#include <cstring>

namespace kx {
namespace core {

bool Type::operator==(const Type& other) const {
    const char* a = name();
    const char* b = other.name();
    return a == b || strcmp(a, b) == 0;
}

}  // namespace core
}  // namespace kx
