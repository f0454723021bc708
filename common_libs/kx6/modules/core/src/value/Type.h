#pragma once

#include <typeinfo>

namespace kx {
namespace core {

// Runtime type of a value held by Any; name() is the mangled type name.
class Type {
public:
    explicit Type(const std::type_info& info) : m_info(&info) {}
    const char* name() const { return m_info->name(); }
    bool operator==(const Type& other) const;
    bool operator!=(const Type& other) const { return !(*this == other); }

private:
    const std::type_info* m_info;
};

}  // namespace core
}  // namespace kx
