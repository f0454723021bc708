#pragma once

#include "core/src/value/String.h"

namespace tunnel {

// Where the host platform keeps an application's files. On Linux the
// documents directory is $KORVANE_DOCUMENTS_DIR, else $HOME/Documents, and
// the temporary directory is $TMPDIR, else /tmp. Both are returned as the
// platform gives them (a trailing "/" may be present).
class PlatformPaths {
public:
    static kx::core::String documentsDirectory();
    static kx::core::String temporaryDirectory();
};

}  // namespace tunnel
