#include "core/src/exception/Exception.h"

#include <typeinfo>

namespace kx {
namespace core {

Exception::Exception(const wchar_t* message)
    : m_message(message ? String(message) : String()) {}

String Exception::describe() const {
    return String(L"[KX Exception: ") + String::fromUtf8(typeid(*this).name()) + L"] " +
           m_message;
}

}  // namespace core
}  // namespace kx
