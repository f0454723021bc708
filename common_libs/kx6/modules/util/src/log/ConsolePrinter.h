#pragma once

#include "core/src/value/String.h"

namespace kx {
namespace util {

// Prints one line to standard output. A closed or broken standard output
// never raises SIGPIPE: the signal is blocked around the write and consumed.
class ConsolePrinter {
public:
    static void print(const kx::core::String& text);
};

}  // namespace util
}  // namespace kx
