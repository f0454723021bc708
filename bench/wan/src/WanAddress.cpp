#include "WanAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

namespace wan {

bool WanAddress::parse(const std::string& text, std::string* error) {
    storage = sockaddr_storage{};
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) {
        if (error) *error = "address needs host:port: " + text;
        return false;
    }
    std::string host = text.substr(0, colon);
    char* end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) {
        if (error) *error = "bad port in " + text;
        return false;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a->sin6_addr) != 1 ||
            !IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) {
            if (error) *error = "not a loopback address: " + text;
            return false;
        }
        length = sizeof(sockaddr_in6);
        return true;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1 ||
        (ntohl(a->sin_addr.s_addr) >> 24) != 127) {
        if (error) *error = "not a loopback address: " + text;
        return false;
    }
    length = sizeof(sockaddr_in);
    return true;
}

int WanAddress::port() const {
    if (family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

void WanAddress::setPort(int port) {
    if (family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(static_cast<uint16_t>(port));
    } else {
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(static_cast<uint16_t>(port));
    }
}

std::string WanAddress::toString() const {
    char text[INET6_ADDRSTRLEN] = "?";
    if (family() == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text,
                  sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(port());
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text,
              sizeof(text));
    return std::string(text) + ":" + std::to_string(port());
}

}  // namespace wan
