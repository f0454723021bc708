#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "WanAddress.h"
#include "WanLink.h"
#include "WanProfile.h"

namespace wan {

// A loopback proxy that puts one emulated link between its clients and their
// targets. Every listen -> target pair (TCP or UDP) shares the same two link
// directions, so traffic to several servers competes for one rate.
//
// TCP is split at the proxy and never dropped: when the queue in front of the
// link is full, or a receiver does not read, the proxy stops reading the
// sender. A connection costs one round trip before the client's bytes go out
// (the handshake over the link); a refused or reset connection reaches the
// other side one delay later, as a reset. UDP datagrams that find the queue
// full are dropped.
class WanProxy {
public:
    explicit WanProxy(const WanProfile& profile);
    ~WanProxy();
    WanProxy(const WanProxy&) = delete;
    WanProxy& operator=(const WanProxy&) = delete;

    // Port 0 binds an ephemeral port; port(i) tells which (in the order added).
    bool addTcp(const std::string& listen, const std::string& target, std::string* error);
    bool addUdp(const std::string& listen, const std::string& target, std::string* error);
    // A line-based control port: "set key=value...", "profile", "stats".
    bool listenControl(const std::string& listen, std::string* error);
    int port(size_t index) const { return m_pairs[index].listen.port(); }
    int controlPort() const { return m_control.port(); }
    std::vector<std::string> describe() const;

    // Runs until stop(), which any thread may call.
    void run();
    void stop();

    std::string command(const std::string& line);

private:
    enum Direction { UP = 0, DOWN = 1 };  // UP: client -> target
    struct Pair {
        bool udp;
        WanAddress listen;
        WanAddress target;
        int fd;
    };
    struct Side {
        int fd = -1;
        std::string out;  // arrived, not yet written
        size_t outOffset = 0;
        bool endArrived = false;  // shut down writing once `out` is written
        bool shut = false;
        bool readDone = false;
        size_t pending() const { return out.size() - outOffset; }
    };
    enum FlowState { SYN, CONNECTING, OPEN };
    struct TcpFlow {
        uint64_t id;
        size_t pair;
        FlowState state = SYN;
        int64_t connectAtUs = 0;     // the SYN reaches the target
        int64_t clientReadAtUs = 0;  // the handshake is back at the client
        bool aborting = false;       // a reset is on its way; read nothing more
        bool closing = false;        // closed at the end of the round
        bool resetOnClose = false;
        Side side[2];  // [UP]: the client, [DOWN]: the target
    };
    struct UdpSession {
        uint64_t id;
        size_t pair;
        WanAddress client;
        int fd;
        int64_t lastUs;
    };
    enum Watch { W_LISTEN, W_CONTROL, W_CONTROL_CONN, W_WAKE, W_FLOW, W_UDP };
    struct Watched {
        Watch what;
        uint64_t id;
        int index;
    };

    static int64_t _nowUs();
    bool _listen(bool udp, const std::string& listen, WanAddress* bound, int* fd,
                 std::string* error);
    void _round();
    void _accept(size_t pair);
    void _startConnect(TcpFlow* flow, int64_t now);
    void _finishConnect(TcpFlow* flow, int64_t now);
    void _readSide(TcpFlow* flow, int which, int64_t now);
    void _writeSide(TcpFlow* flow, int which, int64_t now);
    void _abortTowards(TcpFlow* flow, int which, int64_t now);
    void _closeFlow(TcpFlow* flow);
    void _sweep(int64_t now);
    int64_t _nextEventUs(int64_t now) const;
    void _deliver(Direction dir, WanLink::Chunk* chunk, int64_t now);
    void _readUdpListener(size_t pair, int64_t now);
    void _readUdpSession(UdpSession* session, int64_t now);
    void _acceptControl();
    void _readControl(size_t index);
    bool _maySend(const TcpFlow& flow, int from) const;

    WanProfile m_profile;
    WanLink m_links[2];
    std::vector<Pair> m_pairs;
    std::map<uint64_t, std::unique_ptr<TcpFlow>> m_flows;
    std::map<uint64_t, std::unique_ptr<UdpSession>> m_udp;
    std::map<std::string, uint64_t> m_udpByClient;  // pair + client address -> session
    uint64_t m_nextId = 1;
    WanAddress m_control;
    int m_controlFd = -1;
    std::vector<std::pair<int, std::string>> m_controlConns;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    int64_t m_lastExpiryUs = 0;
    uint64_t m_rounds = 0;
    std::vector<pollfd> m_pollfds;
    std::vector<Watched> m_watched;
    uint64_t m_udpDropped = 0;
    uint64_t m_flowsAccepted = 0;
};

}  // namespace wan
