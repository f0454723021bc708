#pragma once

#include "core/src/value/String.h"

namespace kx {
namespace util {

// Prints one line to standard output, or to the sink a library installs (an
// SDK must not write into its host's standard output). A closed or broken
// standard output never raises SIGPIPE: the signal is blocked around the
// write and consumed.
class ConsolePrinter {
public:
    // Gets each line as UTF-8 without its newline; null restores standard output.
    typedef void (*Sink)(const char* utf8Line);

    static void print(const kx::core::String& text);
    static void setSink(Sink sink);
};

}  // namespace util
}  // namespace kx
