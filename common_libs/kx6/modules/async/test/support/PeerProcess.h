#pragma once

// A helper process for tests (a python3 server we did not write), started
// with a pipe on its standard output and killed when the object goes away.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace kx {
namespace testing {

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    static constexpr const char* SYSTEM_PYTHON = "/usr/bin/python3";

    // Starts argv[0] (searched in PATH) and waits for a line "ready <port>".
    // A generous wait: a loaded machine running a sanitizer suite can take
    // many seconds just to start an interpreter.
    bool start(const std::vector<std::string>& argv, int readyTimeoutMs = 30000) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            // The system interpreter starts fastest; a version-manager shim
            // first in PATH can take seconds under load.
            if (argv[0] == "python3" && access(SYSTEM_PYTHON, X_OK) == 0) execv(SYSTEM_PYTHON, args.data());
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        m_out = fds[0];
        std::string line;
        if (!readLine(&line, readyTimeoutMs) || line.compare(0, 6, "ready ") != 0) return false;
        m_port = std::atoi(line.c_str() + 6);
        return m_port > 0;
    }

    // One line of the peer's output (without the newline); false on time-out
    // or end of output.
    bool readLine(std::string* line, int timeoutMs) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                *line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            until - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || m_out < 0) return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) return false;
            char buf[4096];
            ssize_t n = read(m_out, buf, sizeof(buf));
            if (n <= 0) return false;
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_out >= 0) {
            close(m_out);
            m_out = -1;
        }
    }

    int port() const { return m_port; }

    // Directory of the calling source file (for scripts kept beside tests).
    // The compiler may name the file relative to the build's top directory
    // (a compiler cache with a base directory does), while a test runs in the
    // directory of its binary somewhere below it: a relative name is looked
    // for from the working directory and from each directory above it.
    static std::string dirOf(const char* file) {
        std::string f(file);
        size_t slash = f.rfind('/');
        std::string dir = slash == std::string::npos ? std::string(".") : f.substr(0, slash);
        if (dir.empty() || dir[0] == '/') return dir;
        std::string up;
        for (int level = 0; level < 12; ++level, up += "../") {
            if (access((up + dir).c_str(), F_OK) == 0) return up + dir;
        }
        return dir;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
    std::string m_buffer;
};

// A fresh directory holding a self-signed certificate and key for
// "localhost", made with the openssl tool; removed again on destruction.
class TestCertificate {
public:
    TestCertificate() {
        char tmpl[] = "/tmp/kx-cert-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        m_dir = tmpl;
        std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
            "-nodes -days 2 -subj /CN=localhost -keyout " +
            keyPath() + " -out " + certPath() + " >/dev/null 2>&1";
        m_ok = std::system(cmd.c_str()) == 0;
    }
    ~TestCertificate() {
        if (!m_dir.empty()) {
            unlink(keyPath().c_str());
            unlink(certPath().c_str());
            rmdir(m_dir.c_str());
        }
    }
    // One per test process, made on first use and removed at exit.
    static TestCertificate& shared() {
        static TestCertificate certificate;
        return certificate;
    }

    bool ok() const { return m_ok; }
    std::string certPath() const { return m_dir + "/cert.pem"; }
    std::string keyPath() const { return m_dir + "/key.pem"; }

private:
    std::string m_dir;
    bool m_ok = false;
};

}  // namespace testing
}  // namespace kx
