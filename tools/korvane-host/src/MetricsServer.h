#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korvane_host {

// A small HTTP/1.1 endpoint on its own thread that answers GET /metrics with
// the text the owner last handed to setBody(). It never calls into the SDK,
// so a slow or stuck scraper cannot hold up the SDK's worker or the host's
// main loop. One request per connection, served one connection at a time,
// each with a short deadline.
class MetricsServer {
public:
    static constexpr size_t MAX_REQUEST_BYTES = 8192;
    static constexpr int REQUEST_TIMEOUT_MS = 2000;

    MetricsServer() = default;
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // "HOST:PORT", "[IPv6]:PORT" or "PORT" (then 127.0.0.1). Port 0 picks a
    // free one (see port()). False with error() when it cannot listen.
    bool start(const std::string& address);
    void stop();
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }

    // The body for the next scrapes; any thread.
    void setBody(std::string body);
    // What builds the body when a scrape comes; runs on the server thread.
    // Optional: without it the last setBody() text is served.
    std::function<std::string(const std::string& body)> render;

    // "127.0.0.1:9184" -> host "127.0.0.1", port 9184; false when malformed.
    static bool parseAddress(const std::string& address, std::string& host, int& port);
    // The status line and headers for a request head; empty body on error.
    static std::string respond(const std::string& requestHead, const std::string& body);

private:
    void _run();
    void _serve(int fd);

    int m_listener = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};  // written by stop() to end the server thread's wait
    std::string m_error;
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_body;
};

}  // namespace korvane_host
