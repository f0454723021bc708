#pragma once

// Fatal assertion: reports the expression text, file and line through the
// process-wide assertion reporter, then ends the process with status -1.
// Guards our own invariants only; network input is validated before it.
#define KX_ASSERT(expr)                                                      \
    do {                                                                     \
        if (!(expr)) ::kx::core::AssertReporter::fail(#expr, __FILE__, __LINE__); \
    } while (0)

#include "core/src/debug/AssertReporter.h"
