#pragma once

#include "core/src/value/String.h"

namespace kx {
namespace core {

// Base of the recoverable errors: thrown by value, caught by reference.
class Exception {
public:
    explicit Exception(String message) : m_message(std::move(message)) {}
    Exception(const wchar_t* message);  // NOLINT
    virtual ~Exception() = default;

    const String& message() const { return m_message; }
    // "[KX Exception: <mangled type name>] <message>"
    virtual String describe() const;

private:
    String m_message;
};

}  // namespace core
}  // namespace kx
