#include "core/src/value/Any.h"

namespace kx {
namespace core {

Any::Any(Array<Any> v) : m_holder(new Holder<Array<Any>>(std::move(v))) {}
Any::Any(Dictionary<Any> v) : m_holder(new Holder<Dictionary<Any>>(std::move(v))) {}

const Any& Any::null() {
    static const Any value;
    return value;
}

}  // namespace core
}  // namespace kx
