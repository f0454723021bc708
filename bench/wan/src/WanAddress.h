#pragma once

#include <sys/socket.h>

#include <string>

namespace wan {

// A loopback socket address from "127.0.0.1:port" or "[::1]:port". The
// emulator only ever listens on and connects to this machine.
struct WanAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    bool parse(const std::string& text, std::string* error);
    int family() const { return storage.ss_family; }
    int port() const;
    void setPort(int port);
    std::string toString() const;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    // The raw bytes, as a key for a map of UDP peers.
    std::string key() const { return std::string(reinterpret_cast<const char*>(&storage), length); }
};

}  // namespace wan
