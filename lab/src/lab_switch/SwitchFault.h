#pragma once

#include "core/src/value/String.h"

namespace lab {

// Misbehaviours a test switch can be told to show.
enum class SwitchFault {
    NONE,               // a well-behaved switch
    MUTE,               // accepts connections, never sends a byte
    SILENT,             // answers until a tunnel is open, then sends nothing more
    CLOSE_AFTER_MAKE,   // closes the connection right after answering "zero_make"
    CLOSE_AFTER_LOGIN,  // closes the connection right after a successful login
    REFUSE,             // the port is held but not listening: connects are refused
    SLOW,               // every answer is held back for the configured delay
    IGNORE_WINDOW,      // relays back-end data to the client without waiting for its grants
};

class SwitchFaults {
public:
    // "none", "mute", "silent", "close_after_make", "close_after_login",
    // "refuse", "slow", "ignore_window"; false for anything else.
    static bool parse(const kx::core::String& text, SwitchFault* out);
    static const wchar_t* name(SwitchFault fault);
};

}  // namespace lab
