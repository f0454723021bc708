#pragma once

// Shared scaffolding of the control-API tests: a recording logger, the python
// API stand-in and a launcher context over a real ApiAccess.

#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "async/test/support/PeerProcess.h"
#include "tls/test/support/TestPki.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/ApiSettings.h"
#include "tunnel_launcher/EncryptedProperties.h"
#include "tunnel_launcher/ILauncherContext.h"
#include "tunnel_launcher/LaunchSettings.h"
#include "tunnel_launcher/api/ApiAccess.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {
namespace testing {

const char* const API_PASS = "api-test-pass";

// Thread-safe, unlike the engine tests' RecordingLogger: the API stack logs from
// race and refresh threads.
class SharedRecordingLogger : public kx::util::ILogRecorder {
public:
    void info(const kx::core::String& text) override { _add("I ", text); }
    void warn(const kx::core::String& text) override { _add("W ", text); }
    void error(const kx::core::String& text) override { _add("E ", text); }

    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Lines (level tag first) that start with prefix after the tag.
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : lines()) {
            if (line.compare(2, prefix.size(), prefix) == 0) out.push_back(line);
        }
        return out;
    }
    bool has(const std::string& line) const {
        for (const std::string& l : lines()) {
            if (l == line) return true;
        }
        return false;
    }

private:
    void _add(const char* tag, const kx::core::String& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(tag + text.toStdString());
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// The python control-API stand-in; one per test suite.
class ApiPeer {
public:
    bool start(bool tls) {
        std::vector<std::string> argv = {"python3", script(), API_PASS};
        if (tls) {
            // A chain of a private CA: only a pin lets the SDK accept it.
            const kx::testing::TestPki& pki = kx::testing::TestPki::shared();
            if (!pki.ok()) return false;
            argv.insert(argv.end(), {"--tls", pki.good().chainPath, pki.good().keyPath});
        }
        m_tls = tls;
        return m_process.start(argv);
    }
    // TLS with the given chain, on host:port (port 0: a free one).
    bool startTls(const kx::testing::TestPki::Server& server, const std::string& host = "127.0.0.1",
                  int port = 0) {
        m_tls = true;
        return m_process.start({"python3", script(), API_PASS, "--tls", server.chainPath, server.keyPath,
                                "--bind", host, std::to_string(port)});
    }

    // The peer script beside this file. The compiler may name this file
    // relative to the build directory, where the test binary also lives, so
    // the script is found whatever directory the tests are started from.
    static std::string script() {
        std::string path = kx::testing::PeerProcess::dirOf(__FILE__) + "/peers/api_peer.py";
        if (path[0] == '/' || access(path.c_str(), R_OK) == 0) return path;
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return path;
        return kx::testing::PeerProcess::dirOf(std::string(exe, size_t(n)).c_str()) + "/" + path;
    }

    // "http(s)://api.test:<port>/<mode>"
    kx::net::URL url(const std::string& mode) const {
        std::string text = std::string(m_tls ? "https" : "http") + "://api.test:" +
                           std::to_string(m_process.port()) + "/" + mode;
        return kx::net::URL(text.c_str());
    }
    int port() const { return m_process.port(); }

    // The request lines printed since the last call ("req MODE PATH TS NONCE").
    std::vector<std::string> requests(int waitMs = 50) {
        std::vector<std::string> out;
        std::string line;
        while (m_process.readLine(&line, waitMs)) out.push_back(line);
        return out;
    }

private:
    kx::testing::PeerProcess m_process;
    bool m_tls = false;
};

// A launcher context over a real API access that races one literal group.
class TestLauncherContext : public ILauncherContext {
public:
    // pins null: for https, the pin of the test CA's intermediate.
    TestLauncherContext(const kx::net::URL& url, const kx::core::String& tokenFile,
                        const kx::core::Strings& group = kx::core::Strings{L"127.0.0.1"},
                        const kx::core::Strings* pins = nullptr) {
        m_api.url = url;
        m_api.hostGroups.append(group);
        m_api.encryptorSpec = kx::core::String(L"tea(") + kx::core::String::fromUtf8(API_PASS) + L")";
        if (pins) {
            m_api.pins = *pins;
        } else if (url.scheme() == L"https") {
            m_api.pins.append(kx::testing::TestPki::pinOf(kx::testing::TestPki::shared().intermediate()));
        }
        m_launch.launchKey = L"access-key-1";
        m_launch.launchVersion = L"1.0.0-test";
        m_access.reset(new ApiAccess(m_api.url, m_api.hostGroups, m_api.encryptorSpec, &log,
                                     ApiAccess::CLIENT_IDLE_TIME, m_api.pins));
        m_properties.reset(new EncryptedProperties(tokenFile, L"prefix-for-test"));
    }

    kx::util::ILogRecorder* logger() override { return &log; }
    kx::net::SocketEventSelector* selector() override { return nullptr; }
    ApiAccess* apiAccess() override { return m_access.get(); }
    EncryptedProperties* properties() override { return m_properties.get(); }
    const ApiSettings& apiSettings() const override { return m_api; }
    const LaunchSettings& launchSettings() const override { return m_launch; }

    SharedRecordingLogger log;

private:
    ApiSettings m_api;
    LaunchSettings m_launch;
    std::unique_ptr<ApiAccess> m_access;
    std::unique_ptr<EncryptedProperties> m_properties;
};

}  // namespace testing
}  // namespace tunnel
