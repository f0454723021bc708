#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lab_backend/LoopbackTcpServer.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/socket/SocketEventSelector.h"

namespace lab {

// One connection to the AdminServer and its partial line.
struct AdminConnection {
    std::unique_ptr<kx::net::TcpSocketChannel> channel;
    std::string line;
    bool closed = false;
};

// A line protocol on a loopback port for steering a running lab: each line
// received is handed to onCommand and its answer goes back as one line.
class AdminServer : public LoopbackTcpServer<AdminConnection> {
public:
    static constexpr size_t MAX_LINE = 1024;

    std::function<std::string(const std::string&)> onCommand;

    explicit AdminServer(kx::net::SocketEventSelector* selector);
    ~AdminServer() override;

private:
    void _onConnection(AdminConnection* c) override;
};

}  // namespace lab
