#include "service/ApiGuard.h"

#include "core/src/value/String.h"
#include "platform/SystemLog.h"
#include "service/SdkState.h"

namespace tunnel {

std::atomic<ApiGuard::Fault> ApiGuard::s_fault{nullptr};

void ApiGuard::_record(const char* function, const char* what) noexcept {
    // The console line needs no allocation, so it goes out even when memory is short.
    SystemLog::write("[SDK] %s failed: %s", function, what);
    try {
        SdkState::instance().recordError(kx::core::String(L"[SDK] ") +
                                         kx::core::String::fromUtf8(function) + L" failed: " +
                                         kx::core::String::fromUtf8(what));
    } catch (...) {
        // The previous error text stays; the console line above still names the failure.
    }
}

}  // namespace tunnel
