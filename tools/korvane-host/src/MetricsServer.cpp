#include "MetricsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace korvane_host {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::parseAddress(const std::string& address, std::string& host, int& port) {
    std::string portText;
    if (address.find(':') == std::string::npos) {
        host = "127.0.0.1";
        portText = address;
    } else if (!address.empty() && address[0] == '[') {
        const size_t close = address.find("]:");
        if (close == std::string::npos) return false;
        host = address.substr(1, close - 1);
        portText = address.substr(close + 2);
    } else {
        const size_t colon = address.rfind(':');
        host = address.substr(0, colon);
        portText = address.substr(colon + 1);
        if (host.find(':') != std::string::npos) return false;  // IPv6 needs brackets
    }
    if (host.empty() || portText.empty() || portText.size() > 5) return false;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
    }
    port = std::atoi(portText.c_str());
    return port <= 65535;
}

bool MetricsServer::start(const std::string& address) {
    std::string host;
    if (!parseAddress(address, host, m_port)) {
        m_error = "bad metrics address: " + address;
        return false;
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(m_port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(m_port));
        length = sizeof *v6;
    } else {
        m_error = "bad metrics address: " + address + " (numeric IP address expected)";
        return false;
    }
    m_listener = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (m_listener < 0 ||
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(m_listener, 16) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        m_error = "cannot listen on " + address + ": " + std::strerror(errno);
        closeFd(m_listener);
        return false;
    }
    if (getsockname(m_listener, reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
        m_port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    }
    m_thread = std::thread([this] { _run(); });
    return true;
}

void MetricsServer::stop() {
    if (m_thread.joinable()) {
        const char byte = 0;
        (void)!::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    closeFd(m_listener);
    closeFd(m_wake[0]);
    closeFd(m_wake[1]);
}

void MetricsServer::setBody(std::string body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_body = std::move(body);
}

void MetricsServer::_run() {
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        _serve(fd);
        ::close(fd);
    }
}

void MetricsServer::_serve(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(REQUEST_TIMEOUT_MS);
    // Read the request head only; a body, if any, is ignored.
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() >= MAX_REQUEST_BYTES) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            if (errno == EINTR) continue;
            return;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return;
        }
        head.append(buffer, static_cast<size_t>(n));
    }
    std::string body;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        body = m_body;
    }
    if (render) body = render(body);
    const std::string response = respond(head, body);
    size_t sent = 0;
    while (sent < response.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            if (errno == EINTR) continue;
            return;
        }
        const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string MetricsServer::respond(const std::string& requestHead, const std::string& body) {
    const size_t lineEnd = requestHead.find('\n');
    if (lineEnd == std::string::npos) {
        return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    std::string line = requestHead.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
        return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics") {
        return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    if (method != "GET" && method != "HEAD") {
        return "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\n"
               "Connection: close\r\n\r\n";
    }
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (method == "GET") out += body;
    return out;
}

}  // namespace korvane_host
