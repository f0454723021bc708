#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "util/src/http/DirectHttpAccess.h"
#include "util/src/rpc/JsonRpcClient.h"
#include "util/src/rpc/RpcMethodNotFoundException.h"

using kx::core::Any;
using kx::core::AnyDictionary;
using kx::core::Exception;
using kx::core::String;
using kx::net::URL;
using kx::util::DirectHttpAccess;
using kx::util::JsonRpcClient;
using kx::util::RpcMethodNotFoundException;
using kx::util::WebClient;

namespace {

// A JSON-RPC endpoint on python3's http.server, bound to an ephemeral
// loopback port; it prints the port and ends itself after 30 s at the latest.
const char* SERVER_SCRIPT = R"PY(
import http.server, json, os, sys, threading
threading.Timer(30, lambda: os._exit(0)).start()

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass
    def _send(self, status, body, extra=()):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        req = json.loads(body.decode("utf-8"))
        method = req["method"]
        if method == "fail":
            return self._send(500, "oops")
        if method == "moved" and self.path == "/rpc":
            return self._send(302, "", [("Location", "/rpc2")])
        if method == "missing":
            reply = {"jsonrpc": "2.0", "id": req["id"],
                     "error": {"code": -32601, "message": "no such method"}}
            return self._send(200, json.dumps(reply))
        result = {"params": req["params"], "path": self.path,
                  "cookie": self.headers.get("Cookie", ""),
                  "host": self.headers.get("Host", "")}
        self._send(200, json.dumps({"jsonrpc": "2.0", "id": req["id"], "result": result}),
                   [("Set-Cookie", "sid=s1; Path=/"), ("Set-Cookie", "lang=zh")])

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

class PythonRpcServer {
public:
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execlp("python3", "python3", "-c", SERVER_SCRIPT, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (m_pid < 0) {
            close(fds[0]);
            return false;
        }
        // The port line, within 5 s.
        std::string line;
        pollfd pfd{fds[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&pfd, 1, 5000) == 1) {
            char buffer[32];
            const ssize_t n = read(fds[0], buffer, sizeof(buffer));
            if (n <= 0) break;
            line.append(buffer, static_cast<size_t>(n));
        }
        close(fds[0]);
        m_port = std::atoi(line.c_str());
        return m_port > 0;
    }

    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    ~PythonRpcServer() { stop(); }

    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

std::string u8(const String& text) { return text.toStdString(); }

std::string messageOf(JsonRpcClient& rpc, const wchar_t* method) {
    try {
        rpc.call(method, AnyDictionary());
    } catch (const Exception& e) {
        return u8(e.message());
    }
    return "<none>";
}

}  // namespace

TEST(JsonRpcOverHttpTest, CallsARealHttpServerOverLoopback) {
    PythonRpcServer server;
    if (!server.start()) GTEST_SKIP() << "python3 http.server not available";
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());

    DirectHttpAccess access;
    WebClient web(&access);
    web.setTotalTimeout(10000);
    web.setRequestTimeout(5000);
    JsonRpcClient rpc(&web, URL((base + "/rpc").c_str()));

    AnyDictionary params;
    params.set(L"name", Any(String(L"中文")));
    Any first = rpc.call(L"echo", params);
    ASSERT_TRUE(first.is<AnyDictionary>());
    const AnyDictionary& result = first.as<AnyDictionary>();
    EXPECT_EQ(u8(result.get(L"params").as<AnyDictionary>().get(L"name").as<String>()), "中文");
    EXPECT_EQ(u8(result.get(L"cookie").as<String>()), "");
    EXPECT_EQ(u8(result.get(L"host").as<String>()), "127.0.0.1:" + std::to_string(server.port()));

    // Both cookies of the first answer come back; the redirect is followed.
    Any second = rpc.call(L"moved", AnyDictionary());
    ASSERT_TRUE(second.is<AnyDictionary>());
    EXPECT_EQ(u8(second.as<AnyDictionary>().get(L"cookie").as<String>()), "sid=s1; lang=zh");
    EXPECT_EQ(u8(second.as<AnyDictionary>().get(L"path").as<String>()), "/rpc2");

    try {
        rpc.call(L"missing", AnyDictionary());
        ADD_FAILURE() << "no exception";
    } catch (const RpcMethodNotFoundException& e) {
        EXPECT_EQ(u8(e.message()), "no such method");
    }
    EXPECT_EQ(messageOf(rpc, L"fail"), "HTTP: 500-Internal Server Error");

    server.stop();
    EXPECT_EQ(messageOf(rpc, L"echo"), "HTTP: 无法访问网络");
}
