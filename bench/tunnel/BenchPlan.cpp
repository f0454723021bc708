#include "tunnel/BenchPlan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace bench {

const char* const BenchPlan::ACCESS_KEY = "bench-access-key";

namespace {

// A port the kernel hands out on 127.0.0.1, different from every one taken so far.
uint16_t freePort(std::set<uint16_t>* taken) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(0x7F000001u);
        socklen_t length = sizeof(address);
        uint16_t port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        close(fd);
        if (port && taken->insert(port).second) return port;
    }
    fprintf(stderr, "bench_tunnel: no free loopback port\n");
    exit(1);
}

std::string at(uint16_t port) {
    return "\"127.0.0.1:" + std::to_string(port) + "\"";
}

std::string forward(uint16_t clientPort, uint16_t standbyPort) {
    return "{\"protocol\": \"tcp\", \"client_port\": " + std::to_string(clientPort) +
           ", \"standby_port\": " + std::to_string(standbyPort) + ", \"range\": 0}";
}

}  // namespace

BenchPlan BenchPlan::pick() {
    std::set<uint16_t> taken;
    BenchPlan p;
    p.admin = freePort(&taken);
    p.switchA = freePort(&taken);
    p.switchB = freePort(&taken);
    p.echo = freePort(&taken);
    p.source = freePort(&taken);
    p.sink = freePort(&taken);
    p.directEcho = freePort(&taken);
    p.directSource = freePort(&taken);
    p.directSink = freePort(&taken);
    p.idleSwitch = freePort(&taken);
    p.forwardEcho = freePort(&taken);
    p.forwardSource = freePort(&taken);
    p.forwardSink = freePort(&taken);
    p.closed = freePort(&taken);
    return p;
}

std::string BenchPlan::labConfig() const {
    const BenchPlan& p = *this;
    const std::string key = std::string("[\"") + BenchPlan::ACCESS_KEY + "\"]";
    const std::string target = std::to_string(BenchPlan::TARGET_ID);
    // The failover takes down whichever one carries the tunnel.
    return "{\n  \"tick_ms\": 50,\n  \"admin\": " + at(p.admin) +
           ",\n  \"switches\": [\n"
           "    {\"name\": \"bench-a\", \"listen\": " +
           at(p.switchA) + ", \"access_keys\": " + key +
           ", \"latency\": 10},\n"
           "    {\"name\": \"bench-b\", \"listen\": " +
           at(p.switchB) + ", \"access_keys\": " + key +
           ", \"latency\": 20}\n  ],\n  \"backends\": [\n"
           "    {\"name\": \"echo\", \"kind\": \"tcp_echo\", \"listen\": " +
           at(p.echo) +
           "},\n"
           "    {\"name\": \"source\", \"kind\": \"tcp_source\", \"listen\": " +
           at(p.source) +
           "},\n"
           "    {\"name\": \"sink\", \"kind\": \"tcp_sink\", \"listen\": " +
           at(p.sink) +
           "}\n  ],\n  \"routes\": [\n"
           "    {\"target_id\": " +
           target + ", \"client_port\": " + std::to_string(p.forwardEcho) +
           ", \"backend\": \"echo\"},\n"
           "    {\"target_id\": " +
           target + ", \"client_port\": " + std::to_string(p.forwardSource) +
           ", \"backend\": \"source\"},\n"
           "    {\"target_id\": " +
           target + ", \"client_port\": " + std::to_string(p.forwardSink) +
           ", \"backend\": \"sink\"}\n  ]\n}\n";
}

std::string BenchPlan::backendConfig() const {
    const BenchPlan& p = *this;
    return "{\n  \"tick_ms\": 50,\n  \"switches\": [\n"
           "    {\"name\": \"unused\", \"listen\": " +
           at(p.idleSwitch) +
           ", \"access_keys\": [\"none\"]}\n  ],\n  \"backends\": [\n"
           "    {\"name\": \"echo\", \"kind\": \"tcp_echo\", \"listen\": " +
           at(p.directEcho) +
           "},\n"
           "    {\"name\": \"source\", \"kind\": \"tcp_source\", \"listen\": " +
           at(p.directSource) +
           "},\n"
           "    {\"name\": \"sink\", \"kind\": \"tcp_sink\", \"listen\": " +
           at(p.directSink) + "}\n  ]\n}\n";
}

std::string BenchPlan::targetConfig() const {
    const BenchPlan& p = *this;
    return std::string("{\n  \"access_key\": \"") + BenchPlan::ACCESS_KEY +
           "\", \"token\": \"bench-token\", \"version\": \"1.0.0\",\n"
           "  \"fast_tick_enabled\": true,\n  \"targets\": [{\n    \"id\": " +
           std::to_string(BenchPlan::TARGET_ID) +
           ", \"client_ip\": \"127.0.0.1\", \"standbys\": [{\"ip\": \"127.0.0.1\"}],\n"
           "    \"nodes\": [\n"
           "      {\"ip\": \"127.0.0.1\", \"port\": " +
           std::to_string(p.switchA) +
           ", \"type\": \"standard\", \"latency\": 10},\n"
           "      {\"ip\": \"127.0.0.1\", \"port\": " +
           std::to_string(p.switchB) +
           ", \"type\": \"bandwidth\", \"latency\": 20}],\n"
           "    \"forwards\": [\n      " +
           forward(p.forwardEcho, p.closed) + ",\n      " + forward(p.forwardSource, p.closed) +
           ",\n      " + forward(p.forwardSink, p.closed) + "]\n  }]\n}\n";
}

}  // namespace bench
