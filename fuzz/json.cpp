// JSON text from the control API and from files: parse, build, parse again.
// Whatever parses must build (unless it holds a number beyond a double), and the built text must read back to the same
// value: integers exactly, doubles to an equal double.
#include <cmath>
#include <cstdint>

#include "FuzzCheck.h"
#include "FuzzInput.h"
#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/value/Any.h"

using kx::core::Any;
using kx::core::Array;
using kx::core::Dictionary;
using kx::core::JsonBuilder;
using kx::core::JsonParser;
using kx::core::String;

namespace {

bool integer(const Any& v, int64_t* out) {
    if (v.is<int8_t>()) *out = v.as<int8_t>();
    else if (v.is<int16_t>()) *out = v.as<int16_t>();
    else if (v.is<int32_t>()) *out = v.as<int32_t>();
    else if (v.is<int64_t>()) *out = v.as<int64_t>();
    else return false;
    return true;
}

bool same(const Any& a, const Any& b) {
    int64_t ia = 0, ib = 0;
    if (integer(a, &ia)) return integer(b, &ib) && ia == ib;
    if (a.is<double>()) {
        if (!b.is<double>()) return false;
        const double da = a.as<double>(), db = b.as<double>();
        return da == db || (std::isnan(da) && std::isnan(db));
    }
    if (a.isEmpty()) return b.isEmpty();
    if (a.is<bool>()) return b.is<bool>() && a.as<bool>() == b.as<bool>();
    if (a.is<String>()) return b.is<String>() && a.as<String>() == b.as<String>();
    if (a.is<Array<Any>>()) {
        if (!b.is<Array<Any>>()) return false;
        const Array<Any>& x = a.as<Array<Any>>();
        const Array<Any>& y = b.as<Array<Any>>();
        if (x.size() != y.size()) return false;
        for (int32_t i = 0; i < x.size(); ++i) {
            if (!same(x[i], y[i])) return false;
        }
        return true;
    }
    if (a.is<Dictionary<Any>>()) {
        if (!b.is<Dictionary<Any>>()) return false;
        const Dictionary<Any>& x = a.as<Dictionary<Any>>();
        const Dictionary<Any>& y = b.as<Dictionary<Any>>();
        if (x.size() != y.size()) return false;
        for (const auto& entry : x) {
            if (!y.contains(entry.first) || !same(entry.second, y.get(entry.first))) return false;
        }
        return true;
    }
    return false;
}

// JSON has no spelling for infinity; a number too large for a double reads as
// one, and the builder refuses to write it.
bool hasNonFinite(const Any& v) {
    if (v.is<double>()) return !std::isfinite(v.as<double>());
    if (v.is<Array<Any>>()) {
        for (const Any& item : v.as<Array<Any>>()) {
            if (hasNonFinite(item)) return true;
        }
    }
    if (v.is<Dictionary<Any>>()) {
        for (const auto& entry : v.as<Dictionary<Any>>()) {
            if (hasNonFinite(entry.second)) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const bool pretty = in.byte() & 1;
    const String text = FuzzInput::text(in.rest());

    Any value;
    if (!JsonParser::parseAny(text, value)) return 0;

    JsonBuilder builder;
    builder.init(pretty);
    String built;
    if (!builder.build(value, built)) {
        FUZZ_CHECK(hasNonFinite(value));
        return 0;
    }

    Any again;
    FUZZ_CHECK(JsonParser::parseAny(built, again));
    FUZZ_CHECK(same(value, again));

    // Building is a fixed point from here on.
    JsonBuilder second;
    second.init(pretty);
    String rebuilt;
    FUZZ_CHECK(second.build(again, rebuilt));
    FUZZ_CHECK(rebuilt == built);
    return 0;
}
