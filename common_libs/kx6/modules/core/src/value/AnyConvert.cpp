#include "core/src/value/AnyConvert.h"

namespace kx {
namespace core {

String AnyConvert::toText(const Any& v) {
    if (v.is<String>()) return v.as<String>();
    if (v.is<Binary>()) return String::fromUtf8(v.as<Binary>());
    if (v.is<int8_t>()) return String::fromInt32(v.as<int8_t>());
    if (v.is<int16_t>()) return String::fromInt32(v.as<int16_t>());
    if (v.is<int32_t>()) return String::fromInt32(v.as<int32_t>());
    if (v.is<int64_t>()) return String::fromInt64(v.as<int64_t>());
    if (v.is<double>()) return String::fromDouble(v.as<double>());
    if (v.is<bool>()) return String::fromBool(v.as<bool>());
    return String();
}

bool AnyConvert::toBool(const Any& v) {
    if (v.is<bool>()) return v.as<bool>();
    if (v.is<int8_t>()) return v.as<int8_t>() != 0;
    if (v.is<int16_t>()) return v.as<int16_t>() != 0;
    if (v.is<int32_t>()) return v.as<int32_t>() != 0;
    if (v.is<int64_t>()) return v.as<int64_t>() != 0;
    if (v.is<double>()) return v.as<double>() > 1.0 || v.as<double>() < -1.0;
    if (v.is<String>()) return v.as<String>().toBool();
    if (v.is<Binary>()) return String::fromUtf8(v.as<Binary>()).toBool();
    return false;
}

namespace {
// Truncation toward zero without undefined behaviour for out-of-range doubles.
int64_t truncateDouble(double d) {
    if (!(d == d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}
}  // namespace

int32_t AnyConvert::toInt32(const Any& v) {
    if (v.is<int32_t>()) return v.as<int32_t>();
    if (v.is<int8_t>()) return v.as<int8_t>();
    if (v.is<int16_t>()) return v.as<int16_t>();
    if (v.is<int64_t>()) return static_cast<int32_t>(static_cast<uint32_t>(v.as<int64_t>()));
    if (v.is<double>()) {
        double d = v.as<double>();
        if (!(d == d) || d >= 2147483647.0) return d == d ? INT32_MAX : 0;
        if (d <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(d);
    }
    if (v.is<String>()) return v.as<String>().toInt32();
    if (v.is<Binary>()) return String::fromUtf8(v.as<Binary>()).toInt32();
    if (v.is<bool>()) return v.as<bool>() ? 1 : 0;
    return 0;
}

int64_t AnyConvert::toInt64(const Any& v) {
    if (v.is<int64_t>()) return v.as<int64_t>();
    if (v.is<int8_t>()) return v.as<int8_t>();
    if (v.is<int16_t>()) return v.as<int16_t>();
    if (v.is<int32_t>()) return v.as<int32_t>();
    if (v.is<double>()) return truncateDouble(v.as<double>());
    if (v.is<String>()) return v.as<String>().toInt64();
    if (v.is<Binary>()) return String::fromUtf8(v.as<Binary>()).toInt64();
    if (v.is<bool>()) return v.as<bool>() ? 1 : 0;
    return 0;
}

}  // namespace core
}  // namespace kx
