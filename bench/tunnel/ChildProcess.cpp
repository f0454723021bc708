#include "tunnel/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

typedef std::chrono::steady_clock SteadyClock;

int64_t elapsedMs(SteadyClock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - since)
        .count();
}

const size_t KEEP_SEEN_LINES = 40;

}  // namespace

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& errPath,
                         const std::string& outPath) {
    if (m_pid > 0 || argv.empty()) return false;
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // A benchmark killed half-way must not leave servers behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
            close(err);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        fprintf(stderr, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    m_pid = pid;
    m_out = fds[0];
    m_copy = fopen(outPath.c_str(), "ae");
    return true;
}

void ChildProcess::stop(int graceMs) {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        const auto t0 = SteadyClock::now();
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (elapsedMs(t0) > graceMs) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            usleep(10000);
        }
        m_pid = -1;
    }
    if (m_out >= 0) {
        _drain();
        close(m_out);
        m_out = -1;
    }
    if (m_copy) {
        fclose(m_copy);
        m_copy = nullptr;
    }
}

bool ChildProcess::isRunning() {
    if (m_pid <= 0) return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

void ChildProcess::_drain() {
    if (m_out < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(m_out, buffer, sizeof(buffer));
        if (n <= 0) break;
        m_partial.append(buffer, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t end; (end = m_partial.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = m_partial.substr(start, end - start);
        if (m_copy) fprintf(m_copy, "%s\n", line.c_str());
        m_seen.push_back(line);
        if (m_seen.size() > KEEP_SEEN_LINES) m_seen.erase(m_seen.begin());
        m_lines.push_back(std::move(line));
    }
    m_partial.erase(0, start);
}

std::vector<std::string> ChildProcess::takeLines() {
    _drain();
    std::vector<std::string> lines;
    lines.swap(m_lines);
    return lines;
}

bool ChildProcess::waitForLine(const std::string& text, int timeoutMs, std::string* line) {
    const auto t0 = SteadyClock::now();
    for (;;) {
        for (const std::string& candidate : takeLines()) {
            if (candidate.find(text) != std::string::npos) {
                if (line) *line = candidate;
                return true;
            }
        }
        const int64_t left = timeoutMs - elapsedMs(t0);
        if (left <= 0 || !isRunning()) return false;
        pollfd pfd = {m_out, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(left < 100 ? left : 100));
    }
}

long ChildProcess::residentKiB() const {
    if (m_pid <= 0) return -1;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(m_pid));
    FILE* file = fopen(path, "r");
    if (!file) return -1;
    long kib = -1;
    char line[256];
    while (fgets(line, sizeof(line), file)) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kib = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(file);
    return kib;
}

}  // namespace bench
