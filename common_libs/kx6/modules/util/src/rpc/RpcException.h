#pragma once

#include <cstdint>
#include <utility>

#include "core/src/exception/Exception.h"

namespace kx {
namespace util {

// A JSON-RPC error object received from the server: its code and message.
class RpcException : public kx::core::Exception {
public:
    static const int32_t METHOD_NOT_FOUND = -32601;
    static const int32_t BAD_PARAMS = -32602;

    RpcException(int32_t code, kx::core::String message)
        : kx::core::Exception(std::move(message)), m_code(code) {}

    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

}  // namespace util
}  // namespace kx
