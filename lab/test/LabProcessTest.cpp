#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "lab_client/EchoClient.h"
#include "net/src/socket/Socket.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/WireValue.h"

#ifdef KORVANE_LAB_BINARY

using kx::core::Binary;

namespace {

// Reads one line from fd, waiting at most limitMs in total.
std::string readLine(int fd, int limitMs) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

bool receiveAll(kx::net::Socket& socket, Binary* out, int length) {
    out->resize(length);
    for (int got = 0; got < length;) {
        int n = socket.receive(out, got, length - got);
        if (n < 1) return false;
        got += n;
    }
    return true;
}

// Kills the child if the test ends early.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace

TEST(LabProcess, StartsFromItsCommandLineAndAnswersCalls) {
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(KORVANE_LAB_BINARY, "korvane-lab", "--listen", "127.0.0.1:0", "--access-key", "k",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ChildGuard guard{pid};
    close(out[1]);
    std::string line = readLine(out[0], 2000);
    size_t at = line.find("listening on 127.0.0.1:");
    ASSERT_NE(std::string::npos, at) << line;
    int port = atoi(line.c_str() + at + strlen("listening on 127.0.0.1:"));
    ASSERT_GT(port, 0);

    kx::net::Socket socket(kx::net::Socket::TYPE_TCP);
    socket.setReceiveTimeout(2000);
    ASSERT_TRUE(socket.connect(
        kx::net::SocketAddress(kx::net::IpAddress("127.0.0.1"), static_cast<uint16_t>(port))));
    kx::core::Dictionary<Binary> call;
    call.set(L"@", Binary("call"));
    call.set(L"method", Binary("zero_make"));
    Binary payload;
    tunnel::ProtocolFrame::encodeMessage(call, &payload);
    uint32_t size = static_cast<uint32_t>(payload.length() + 4);
    Binary frame;
    uint8_t header[4] = {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16),
                         uint8_t(size >> 24)};
    frame.append(header, 4);
    frame.append(payload);
    ASSERT_EQ(frame.length(), socket.send(frame, 0, frame.length()));

    Binary head;
    ASSERT_TRUE(receiveAll(socket, &head, 4));
    int32_t length = int32_t(head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24);
    ASSERT_GT(length, 4);
    ASSERT_LT(length, 4096);
    Binary body;
    ASSERT_TRUE(receiveAll(socket, &body, length - 4));
    kx::core::Dictionary<Binary> answer;
    tunnel::ProtocolFrame::decodeMessage(body, &answer);
    EXPECT_EQ(Binary("return"), answer.get(L"@"));
    EXPECT_EQ(16, tunnel::WireValue::text(answer, L"zero_id").length());

    kill(pid, SIGTERM);
    int status = -1;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(out[0]);
    ASSERT_NE(-1, status) << "korvane-lab did not stop on SIGTERM";
    guard.pid = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// The program from a config file: back ends, switches and the admin port
// that scripts use to take a switch down while traffic runs.
TEST(LabProcess, RunsBackEndsAndAnswersTheAdminPort) {
    char path[] = "/tmp/korvane-lab-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string config =
        "{\"admin\": \"127.0.0.1:0\", \"switches\": [{\"name\": \"s\", \"listen\": "
        "\"127.0.0.1:0\", \"access_keys\": [\"k\"]}], \"backends\": [{\"name\": \"e\", "
        "\"kind\": \"tcp_echo\", \"listen\": \"127.0.0.1:0\"}]}";
    ASSERT_EQ(ssize_t(config.size()), write(fd, config.data(), config.size()));
    close(fd);
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(KORVANE_LAB_BINARY, "korvane-lab", "--config", path, static_cast<char*>(nullptr));
        _exit(127);
    }
    ChildGuard guard{pid};
    close(out[1]);
    int echoPort = 0, adminPort = 0;
    for (std::string line = readLine(out[0], 2000); line != "ready" && !line.empty();
         line = readLine(out[0], 2000)) {
        size_t at = line.rfind("listening on 127.0.0.1:");
        if (at == std::string::npos) continue;
        int port = atoi(line.c_str() + at + strlen("listening on 127.0.0.1:"));
        if (line.rfind("backend e", 0) == 0) echoPort = port;
        if (line.rfind("admin", 0) == 0) adminPort = port;
    }
    close(out[0]);
    remove(path);
    ASSERT_GT(echoPort, 0);
    ASSERT_GT(adminPort, 0);

    lab::EchoClient::Result echo = lab::EchoClient::tcpEcho(uint16_t(echoPort), 100000, 5000);
    EXPECT_TRUE(echo.ok) << echo.error;
    std::string answer;
    ASSERT_TRUE(lab::EchoClient::admin(uint16_t(adminPort), "down s", &answer));
    EXPECT_EQ("ok down s", answer);
    ASSERT_TRUE(lab::EchoClient::admin(uint16_t(adminPort), "status", &answer));
    EXPECT_EQ("ok s=down/0", answer);
}

#endif
