// The C entry points: thin forwards to the process-wide SDK state.
#include "korvane.h"

#include "platform/NotificationCenter.h"
#include "service/SdkState.h"

using tunnel::NotificationCenter;
using tunnel::SdkState;

extern "C" {

int korvane_start(const char* configJson) {
    return SdkState::instance().start(configJson);
}

int korvane_stop(void) {
    return SdkState::instance().stop();
}

const char* korvane_error(void) {
    return SdkState::instance().error();
}

const char* korvane_status(void) {
    return SdkState::instance().status();
}

int korvane_post_lifecycle(int notification) {
    switch (notification) {
        case KORVANE_DID_ENTER_BACKGROUND:
            NotificationCenter::defaultCenter().post(NotificationCenter::DID_ENTER_BACKGROUND);
            return 0;
        case KORVANE_WILL_ENTER_FOREGROUND:
            NotificationCenter::defaultCenter().post(NotificationCenter::WILL_ENTER_FOREGROUND);
            return 0;
        default:
            return -1;
    }
}

}  // extern "C"
