#pragma once

#include <cstdint>
#include <memory>
#include <typeinfo>
#include <utility>

#include "core/src/exception/BadAnyCastException.h"
#include "core/src/value/Array.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "core/src/value/Type.h"

namespace kx {
namespace core {

// Type-erased value. Holds one of: bool, int8_t, int16_t, int32_t, int64_t,
// double, String, Binary, Array<Any>, Dictionary<Any>; or nothing ("null").
class Any {
public:
    struct Empty {};

    Any() noexcept = default;
    Any(bool v) : m_holder(new Holder<bool>(v)) {}
    Any(int8_t v) : m_holder(new Holder<int8_t>(v)) {}
    Any(int16_t v) : m_holder(new Holder<int16_t>(v)) {}
    Any(int32_t v) : m_holder(new Holder<int32_t>(v)) {}
    Any(int64_t v) : m_holder(new Holder<int64_t>(v)) {}
    Any(double v) : m_holder(new Holder<double>(v)) {}
    Any(const wchar_t* v) : m_holder(new Holder<String>(String(v))) {}
    Any(String v) : m_holder(new Holder<String>(std::move(v))) {}
    Any(Binary v) : m_holder(new Holder<Binary>(std::move(v))) {}
    Any(Array<Any> v);
    Any(Dictionary<Any> v);
    Any(const Any& other) : m_holder(other.m_holder ? other.m_holder->clone() : nullptr) {}
    Any(Any&& other) noexcept = default;
    Any& operator=(const Any& other) {
        if (this != &other) m_holder.reset(other.m_holder ? other.m_holder->clone() : nullptr);
        return *this;
    }
    Any& operator=(Any&& other) noexcept = default;
    virtual ~Any() = default;

    bool isEmpty() const { return !m_holder; }
    Type type() const { return m_holder ? m_holder->type() : Type(typeid(Empty)); }

    template <typename T>
    bool is() const {
        return m_holder && m_holder->type() == Type(typeid(T));
    }

    // Exact-type access; throws BadAnyCastException otherwise.
    template <typename T>
    T& as() {
        if (!is<T>()) throw BadAnyCastException(type().name(), typeid(T).name());
        return static_cast<Holder<T>*>(m_holder.get())->value;
    }
    template <typename T>
    const T& as() const {
        if (!is<T>()) throw BadAnyCastException(type().name(), typeid(T).name());
        return static_cast<const Holder<T>*>(m_holder.get())->value;
    }

    // The process-wide null value.
    static const Any& null();

private:
    struct HolderBase {
        virtual ~HolderBase() = default;
        virtual Type type() const = 0;
        virtual HolderBase* clone() const = 0;
    };
    template <typename T>
    struct Holder : HolderBase {
        explicit Holder(T v) : value(std::move(v)) {}
        Type type() const override { return Type(typeid(T)); }
        HolderBase* clone() const override { return new Holder<T>(value); }
        T value;
    };

    std::unique_ptr<HolderBase> m_holder;
};

typedef Array<Any> AnyArray;
typedef Dictionary<Any> AnyDictionary;

}  // namespace core
}  // namespace kx
