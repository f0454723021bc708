#include "Readiness.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace korvane_host {

bool Readiness::notify(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    return path && notifyTo(path, state);
}

bool Readiness::notifyTo(const std::string& socketPath, const std::string& state) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
    if (socketPath[0] != '/' && socketPath[0] != '@') return false;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

}  // namespace korvane_host
