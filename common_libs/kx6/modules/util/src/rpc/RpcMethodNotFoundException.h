#pragma once

#include "util/src/rpc/RpcException.h"

namespace kx {
namespace util {

class RpcMethodNotFoundException : public RpcException {
public:
    explicit RpcMethodNotFoundException(kx::core::String message)
        : RpcException(METHOD_NOT_FOUND, std::move(message)) {}
};

}  // namespace util
}  // namespace kx
