// The C entry points: thin forwards to the process-wide SDK state. Every text
// handed out lives in storage of the calling thread, one per function.
#include <string>

#include "korvane.h"
#include "platform/NotificationCenter.h"
#include "service/ApiGuard.h"
#include "service/SdkState.h"

using tunnel::ApiGuard;
using tunnel::NotificationCenter;
using tunnel::SdkState;

namespace {

const char* const FALLBACK_STATUS = "{\"started\":false,\"running\":false,\"targets\":[]}";

// Keeps the text in this thread's slot and returns it; the slot's previous
// text stays valid until here.
const char* keep(std::string& slot, std::string text) {
    slot.swap(text);
    return slot.c_str();
}

}  // namespace

extern "C" {

const char* korvane_version(void) {
    return KORVANE_VERSION_TEXT;
}

const char* korvane_result_text(int code) {
    switch (code) {
#define KORVANE_RESULT_CASE(name, value, text) \
    case value:                                \
        return text;
        KORVANE_RESULT_TABLE(KORVANE_RESULT_CASE)
#undef KORVANE_RESULT_CASE
        default:
            return "unknown result";
    }
}

int korvane_start(const char* configJson) {
    return ApiGuard::run("korvane_start", int(KORVANE_INTERNAL_ERROR),
                         [&] { return SdkState::instance().start(configJson); });
}

int korvane_stop(void) {
    return ApiGuard::run("korvane_stop", int(KORVANE_INTERNAL_ERROR),
                         [] { return SdkState::instance().stop(); });
}

const char* korvane_error(void) {
    static thread_local std::string slot;
    return ApiGuard::run("korvane_error", "[SDK] korvane_error failed",
                         [] { return keep(slot, SdkState::instance().error()); });
}

const char* korvane_status(void) {
    static thread_local std::string slot;
    return ApiGuard::run("korvane_status", FALLBACK_STATUS,
                         [] { return keep(slot, SdkState::instance().status()); });
}

void korvane_set_listener(korvane_listener fn, void* ctx) {
    ApiGuard::run("korvane_set_listener", 0, [&] {
        SdkState::instance().setListener(fn, ctx);
        return 0;
    });
}

int korvane_post_lifecycle(int notification) {
    return ApiGuard::run("korvane_post_lifecycle", int(KORVANE_INTERNAL_ERROR), [&] {
        switch (notification) {
            case KORVANE_DID_ENTER_BACKGROUND:
                SdkState::instance().notifications().post(NotificationCenter::DID_ENTER_BACKGROUND);
                return 0;
            case KORVANE_WILL_ENTER_FOREGROUND:
                SdkState::instance().notifications().post(NotificationCenter::WILL_ENTER_FOREGROUND);
                return 0;
            default:
                return -1;
        }
    });
}

}  // extern "C"
