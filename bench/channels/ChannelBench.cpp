// Loopback throughput of the channel path against a plain poll() copy loop in
// the same process, and the cost of one selector round over idle channels.
//
//   bench_channels [MiB to stream, default 1024] [idle channels, default 1024]
//                  [message bytes queued per send, default 65536]

#include <errno.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/src/value/Binary.h"
#include "net/src/channel/TcpSocketChannel.h"
#include "net/src/socket/Socket.h"
#include "net/src/socket/SocketEventSelector.h"

using namespace kx::net;
using kx::core::Binary;

namespace {

typedef std::chrono::steady_clock Clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Pair {
    Socket a;
    Socket b;
};

Pair connectedPair() {
    Socket listener(Socket::TYPE_TCP);
    listener.setReuseAddress(1);
    listener.bind(SocketAddress(IpAddress(0x7F000001u), 0));
    listener.listen(64);
    Pair p;
    p.a = Socket(Socket::TYPE_TCP);
    p.a.connect(listener.localAddress());
    listener.accept(&p.b);
    if (!p.a.isValid() || !p.b.isValid()) {
        std::fprintf(stderr, "cannot connect over loopback\n");
        std::exit(1);
    }
    return p;
}

// One thread, both ends non-blocking, poll() on both: write from a fixed buffer,
// read into a fixed buffer of readSize bytes.
double plainLoop(int64_t total, int readSize) {
    Pair p = connectedPair();
    p.a.setBlocking(false);
    p.b.setBlocking(false);
    std::vector<char> out(1 << 20, 'x');
    std::vector<char> in(static_cast<size_t>(readSize));
    int64_t written = 0, read = 0;
    size_t outPos = 0;
    auto t0 = Clock::now();
    while (read < total) {
        pollfd fds[2] = {{p.a.handle(), short(written < total ? POLLOUT : 0), 0},
                         {p.b.handle(), POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLOUT) {
            for (;;) {
                int64_t want = std::min<int64_t>(int64_t(out.size() - outPos), total - written);
                if (want <= 0) break;
                int n = p.a.send(out.data() + outPos, int(want));
                if (n <= 0) break;
                written += n;
                outPos = (outPos + size_t(n)) % out.size();
            }
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                int n = p.b.receive(in.data(), readSize);
                if (n <= 0) break;
                read += n;
            }
        }
    }
    return double(read) / (1 << 20) / seconds(t0);
}

// A TcpSocketChannel pair on one selector. The sender refills its queue with
// messages (64 KiB by default) while fewer than four wait; the receiver re-grants credit for
// every chunk it takes, as a relaying owner would.
double channelPath(int64_t total, int message) {
    Pair p = connectedPair();
    SocketEventSelector selector(1000);
    TcpSocketChannel sender(&p.a, &selector);
    TcpSocketChannel receiver(&p.b, &selector);
    Binary chunk;
    chunk.resize(message);
    int64_t queued = 0, received = 0;
    auto refill = [&] {
        while (queued < total && sender.pendingSendBytes() < 4 * int64_t(message)) {
            int n = int(std::min<int64_t>(chunk.length(), total - queued));
            if (n == chunk.length()) {
                sender.send(chunk);
            } else {
                sender.send(Binary(chunk.data(), n));
            }
            queued += n;
        }
    };
    sender.onSent = [&](int) { refill(); };
    receiver.recv(1 << 20);
    receiver.onReceive = [&](Binary& data) {
        received += data.length();
        receiver.recv(data.length());
    };
    auto t0 = Clock::now();
    refill();
    while (received < total) selector.select(100);
    return double(received) / (1 << 20) / seconds(t0);
}

void selectorRound(int channels) {
    std::vector<Pair> pairs;
    std::vector<std::unique_ptr<TcpSocketChannel>> idle;
    SocketEventSelector selector(1000000);
    for (int i = 0; i < channels; ++i) {
        pairs.push_back(connectedPair());
        idle.emplace_back(new TcpSocketChannel(&pairs.back().b, &selector));
        idle.back()->recv(65536);  // polled for reading, never ready
    }
    const int rounds = 2000;
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) selector.select(0);
    double polled = seconds(t0) / rounds * 1e6;

    for (auto& c : idle) c->closeGracefully();  // no interest: masks are 0
    // closeGracefully ends the channels at the next tick, which is far away.
    t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) selector.select(0);
    double unpolled = seconds(t0) / rounds * 1e6;
    std::printf("selector round, %d idle channels polled for read : %8.1f us\n", channels, polled);
    std::printf("selector round, %d idle channels, none polled    : %8.1f us\n", channels,
                unpolled);
}

}  // namespace

int main(int argc, char** argv) {
    int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    int channels = argc > 2 ? std::atoi(argv[2]) : 1024;
    int message = argc > 3 ? std::atoi(argv[3]) : 65536;
    if (message < 1) message = 65536;
    if (mib < 1) mib = 1;
    int64_t total = mib << 20;

    // Interleave the runs so both paths see the same machine load.
    double plain8 = 0, plain64 = 0, channel = 0;
    const int runs = 3;
    for (int r = 0; r < runs; ++r) {
        plain8 = std::max(plain8, plainLoop(total, 8192));
        plain64 = std::max(plain64, plainLoop(total, 65536));
        channel = std::max(channel, channelPath(total, message));
    }
    std::printf("streamed %lld MiB over loopback, best of %d runs\n", (long long)mib, runs);
    std::printf("plain poll loop, 8 KiB reads          : %8.0f MiB/s\n", plain8);
    std::printf("plain poll loop, 64 KiB reads         : %8.0f MiB/s\n", plain64);
    std::printf("TcpSocketChannel pair (8 KiB reads)   : %8.0f MiB/s\n", channel);
    std::printf("ratio channel / plain (8 KiB reads)   : %8.2f\n", channel / plain8);
    std::printf("ratio channel / plain (64 KiB reads)  : %8.2f\n", channel / plain64);
    selectorRound(channels);
    return 0;
}
