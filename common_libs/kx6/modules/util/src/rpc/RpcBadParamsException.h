#pragma once

#include "util/src/rpc/RpcException.h"

namespace kx {
namespace util {

class RpcBadParamsException : public RpcException {
public:
    explicit RpcBadParamsException(kx::core::String message)
        : RpcException(BAD_PARAMS, std::move(message)) {}
};

}  // namespace util
}  // namespace kx
