#pragma once

#include <functional>

namespace kx {
namespace async {

// Runs submitted work somewhere else than the calling thread.
class IExecutor {
public:
    virtual ~IExecutor() = default;
    virtual void post(std::function<void()> task) = 0;
};

}  // namespace async
}  // namespace kx
