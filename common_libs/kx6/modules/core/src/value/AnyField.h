#pragma once

#include "core/src/value/Any.h"
#include "core/src/value/AnyConvert.h"

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
    static const AnyDictionary* dictionary(const AnyDictionary& object, const wchar_t* key) {
        const Any* found = object.find(key);
        return found && found->is<AnyDictionary>() ? &found->as<AnyDictionary>() : nullptr;
    }
    // The field converted as AnyConvert does: empty text, 0 or false when missing.
    static String text(const AnyDictionary& object, const wchar_t* key) {
        return AnyConvert::toText(value(object, key));
    }
    static int64_t int64(const AnyDictionary& object, const wchar_t* key) {
        return AnyConvert::toInt64(value(object, key));
    }
    static bool flag(const AnyDictionary& object, const wchar_t* key) {
        return AnyConvert::toBool(value(object, key));
    }
};

}  // namespace core
}  // namespace kx
