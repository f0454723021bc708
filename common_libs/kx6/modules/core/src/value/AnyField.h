#pragma once

#include "core/src/value/Any.h"

namespace kx {
namespace core {

// Lenient reads of one field of a parsed JSON object: a missing key reads as
// the null value, and a field of another type as no array. Records from files
// and from the network are read this way, field by field.
class AnyField {
public:
    static const Any& value(const AnyDictionary& object, const wchar_t* key) {
        const Any* found = object.find(key);
        return found ? *found : Any::null();
    }
    static const AnyArray* array(const AnyDictionary& object, const wchar_t* key) {
        const Any* found = object.find(key);
        return found && found->is<AnyArray>() ? &found->as<AnyArray>() : nullptr;
    }
};

}  // namespace core
}  // namespace kx
