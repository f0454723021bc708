// The lab's control API on loopback, enciphered from
// tools/korvane-config/default-config.json by korvane-config --encode.
#include "tunnel_wrapper/BuiltInConfig.h"

namespace tunnel {

const char* BuiltInConfig::text() {
    return
        "qTh9YogQL/AZzHWi0vgzgXWHXzmAxKndA/ogcLG3hBhbCrIPUb6TwAtR0EGNWuhE"
        "YnUQWWVUok283JscINCZCIb+Z++F2Tk1tQnMeGjWLgyo8Or8c8rH8nSgd2Gz257P"
        "Bg==";
}

}  // namespace tunnel
