#pragma once

#include "core/src/value/String.h"

namespace lab {

// Misbehaviours the lab's control API can be told to show, each on every
// matching call or on the next few only.
enum class ApiFault {
    NONE,            // well-behaved
    TIMESTAMP,       // 316 with "X-Ca-Timestamp-Reset", whatever the request's timestamp
    HTTP_500,        // 500 Internal Server Error, plain body
    HTTP_502,        // 502 Bad Gateway, plain body
    GARBAGE,         // 200 with an enciphered body that is not JSON
    UNDECIPHERABLE,  // 200 with a body no decoder accepts
    BAD_NONCE,       // 200 with an "X-Ca-Nonce" that is not the request's
    DELAY,           // the answer is held back for the configured delay
    CUT,             // half of the answer, then the connection closes
    SILENT,          // the request is read and never answered
};

class ApiFaults {
public:
    // "none", "timestamp", "http_500", "http_502", "garbage", "undecipherable",
    // "bad_nonce", "delay", "cut", "silent"; false for anything else.
    static bool parse(const kx::core::String& text, ApiFault* out);
    static const wchar_t* name(ApiFault fault);
};

}  // namespace lab
