#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/src/value/String.h"
#include "lab_network/LabNetwork.h"
#include "net/src/socket/SocketEventSelector.h"

// The lab (control API, switches, back ends) running in the test process on a
// loop thread of its own, the way a separate korvane-lab would. Everything
// that touches the network object runs on that thread.
class LabThread {
public:
    ~LabThread() { stop(); }

    bool start(const kx::core::String& configJson, std::string* error) {
        std::promise<std::string> started;
        m_thread = std::thread([this, configJson, &started] {
            kx::net::SocketEventSelector selector(50);
            lab::LabNetwork network(&selector);
            lab::LabConfig config;
            kx::core::String reason;
            if (!lab::LabConfig::fromJson(configJson, &config, &reason) ||
                !network.start(config, &reason)) {
                started.set_value("lab: " + reason.toStdString());
                return;
            }
            m_network = &network;
            started.set_value(std::string());
            while (!m_stop) {
                selector.select(10);
                network.tick();
                _runQueued();
            }
            m_network = nullptr;
        });
        *error = started.get_future().get();
        if (!error->empty()) {
            m_thread.join();
            return false;
        }
        return true;
    }

    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

    // Runs work on the lab's loop and waits for it.
    template <typename T>
    T call(const std::function<T(lab::LabNetwork&)>& work) {
        auto task = std::make_shared<std::packaged_task<T()>>([this, work] { return work(*m_network); });
        post([task] { (*task)(); });
        return task->get_future().get();
    }
    std::string command(const std::string& line) {
        return call<std::string>([line](lab::LabNetwork& n) { return n.command(line); });
    }
    // For callers that must not wait (the loop itself, or a thread the loop
    // is waiting for).
    void commandLater(const std::string& line) {
        post([this, line] { m_network->command(line); });
    }
    // Queues work for the loop without waiting.
    void post(std::function<void()> work) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_queue.push_back(std::move(work));
    }

    // A loopback port that was free a moment ago (the SDK's forwards listen on
    // the ports the API's records name).
    static uint16_t freePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        uint16_t port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
            port = ntohs(addr.sin_port);
        }
        ::close(fd);
        return port;
    }

    // True when something accepts TCP connections on 127.0.0.1:port.
    static bool accepts(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    }

private:
    void _runQueued() {
        std::deque<std::function<void()>> queue;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            queue.swap(m_queue);
        }
        for (auto& work : queue) work();
    }

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    lab::LabNetwork* m_network = nullptr;  // the loop thread's own
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
};
