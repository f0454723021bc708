#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// A program the benchmark runs beside itself (the lab, the tunnel host), so
// that each one's memory and CPU are its own. Its standard output comes back
// line by line; it dies with the benchmark and is stopped by the destructor.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Standard error goes to errPath (appended), standard output to us; every
    // line of it is also appended to outPath.
    bool start(const std::vector<std::string>& argv, const std::string& errPath,
               const std::string& outPath);
    // SIGTERM, then SIGKILL when it has not ended within graceMs.
    void stop(int graceMs = 2000);
    bool isRunning();
    pid_t pid() const { return m_pid; }

    // Complete lines read so far and not yet taken; never blocks.
    std::vector<std::string> takeLines();
    // Waits up to timeoutMs for a line containing text; every line read on
    // the way is kept in lastLines().
    bool waitForLine(const std::string& text, int timeoutMs, std::string* line = nullptr);
    const std::vector<std::string>& lastLines() const { return m_seen; }

    // VmRSS from /proc/<pid>/status in KiB, -1 when it cannot be read.
    long residentKiB() const;

private:
    void _drain();

    pid_t m_pid = -1;
    int m_out = -1;
    FILE* m_copy = nullptr;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_seen;  // the most recent lines, for error reports
};

}  // namespace bench
