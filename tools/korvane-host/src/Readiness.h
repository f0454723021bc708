#pragma once

#include <string>

namespace korvane_host {

// Tells the service manager how far the host has come, over the datagram
// socket it names in $NOTIFY_SOCKET ("READY=1", "RELOADING=1", "STOPPING=1").
// Without that variable every call does nothing and reports false.
class Readiness {
public:
    static bool notify(const std::string& state);
    // To an explicit socket path; a leading '@' names an abstract socket.
    static bool notifyTo(const std::string& socketPath, const std::string& state);
};

}  // namespace korvane_host
