#include "tunnel/TunnelBenchRun.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "tunnel/LoadClient.h"

namespace bench {

namespace {

typedef std::chrono::steady_clock SteadyClock;

const int IDLE_CONNECTIONS = 1000;

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

Endpoint loopback(uint16_t port) {
    Endpoint e;
    e.port = port;
    return e;
}

// One line to the lab's admin port, one line back.
bool adminCommand(uint16_t port, const std::string& command, std::string* answer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000001u);
    address.sin_port = htons(port);
    timeval timeout = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    const std::string line = command + "\n";
    ok =
        ok && send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    answer->clear();
    char c = 0;
    while (ok && answer->size() < 1024) {
        if (recv(fd, &c, 1, 0) != 1) {
            ok = false;
        } else if (c == '\n') {
            break;
        } else if (c != '\r') {
            answer->push_back(c);
        }
    }
    close(fd);
    return ok;
}

// The SDK host's status line reads "..., connections N, ..."; -1 without one.
int connectionsIn(const std::string& line) {
    const size_t at = line.find("connections ");
    return at == std::string::npos ? -1 : atoi(line.c_str() + at + 12);
}

void showLines(const char* who, const std::vector<std::string>& lines) {
    fprintf(stderr, "  last lines of %s:\n", who);
    for (const std::string& line : lines) fprintf(stderr, "    %s\n", line.c_str());
}

}  // namespace

TunnelBenchRun::TunnelBenchRun(const Options& options, const std::string& dir)
    : m_options(options), m_dir(dir), m_ports(BenchPlan::pick()) {
    m_durations = options.quick ? Durations{0.5, 0.4, 0.4} : Durations{1.5, 0.8, 0.8};
}

int TunnelBenchRun::execute() {
    printf("load average before: %s", _loadAverage().c_str());
    if (!_startLab() || !_startSdk()) return 2;
    if (_wanted("idle")) _idleMemory();
    const bool bulk = _wanted("streams") || _wanted("latency") || _wanted("setup");
    if (bulk && !_moveToBandwidthNode()) return 2;
    if (_wanted("streams")) {
        _streams(1, false, "single stream upload", ResultTable::RATIO_AT_LEAST, 0.35);
        _streams(1, true, "single stream download", ResultTable::RATIO_AT_LEAST, 0.35);
        _streams(8, false, "8 streams upload", ResultTable::NONE, 0);
        _streams(8, true, "8 streams download", ResultTable::NONE, 0);
    }
    if (_wanted("latency")) _latency();
    if (_wanted("setup")) _setupRate();
    if (_wanted("failover")) _failover();
    m_table.print();
    printf("\nload average after: %s", _loadAverage().c_str());
    printf("\nSDK unbinds during the run (optimizer, failover, timeouts): %d\n",
           _countLogLines("to unbind"));
    printf("\nSDK process resident memory at the end: %ld KiB\n", m_sdk.residentKiB());
    return m_table.failures() == 0 ? 0 : 1;
}

bool TunnelBenchRun::_startLab() {
    const std::string backends = m_dir + "/backends.json";
    if (!writeFile(backends, m_ports.backendConfig())) return _fail("cannot write " + backends);
    if (!m_backends.start({m_options.labPath, "--config", backends}, m_dir + "/backends.err",
                          m_dir + "/backends.out")) {
        return _fail("cannot start " + m_options.labPath);
    }
    if (!m_backends.waitForLine("switch unused", 10000)) {
        showLines("korvane-lab (back ends)", m_backends.lastLines());
        return _fail("the back ends did not come up (see " + m_dir + "/backends.err)");
    }
    const std::string path = m_dir + "/lab.json";
    if (!writeFile(path, m_ports.labConfig())) return _fail("cannot write " + path);
    if (!m_lab.start({m_options.labPath, "--config", path}, m_dir + "/lab.err",
                     m_dir + "/lab.out")) {
        return _fail("cannot start " + m_options.labPath);
    }
    if (!m_lab.waitForLine("admin listening", 10000)) {
        showLines("korvane-lab", m_lab.lastLines());
        return _fail("the lab did not come up (see " + m_dir + "/lab.err)");
    }
    return true;
}

bool TunnelBenchRun::_startSdk() {
    const std::string path = m_dir + "/targets.json";
    if (!writeFile(path, m_ports.targetConfig())) return _fail("cannot write " + path);
    // --duration bounds the host even if this process is killed uncleanly.
    if (!m_sdk.start({m_options.tunnelPath, "--config", path, "--log-dir", m_dir + "/sdk-log",
                      "--duration", "600"},
                     m_dir + "/sdk.err", m_dir + "/sdk.out")) {
        return _fail("cannot start " + m_options.tunnelPath);
    }
    if (!m_sdk.waitForLine(", open,", 20000)) {
        showLines("korvane-tunnel", m_sdk.lastLines());
        return _fail("the SDK's tunnel did not open (see " + m_dir + "/sdk-log)");
    }
    // Past the optimizer's first look: still open on the next status lines.
    std::string line;
    for (int i = 0; i < 2; ++i) {
        if (!m_sdk.waitForLine("connections ", 3000, &line) ||
            line.find(", open,") == std::string::npos) {
            showLines("korvane-tunnel", m_sdk.lastLines());
            return _fail("the SDK's tunnel did not stay open");
        }
    }
    printf("lab and SDK up, tunnel open (SDK pid %d, lab pid %d, back ends pid %d)\n",
           static_cast<int>(m_sdk.pid()), static_cast<int>(m_lab.pid()),
           static_cast<int>(m_backends.pid()));
    fflush(stdout);
    return true;
}

std::string TunnelBenchRun::_loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    return line + "\n";
}

int TunnelBenchRun::_countLogLines(const std::string& text) const {
    int count = 0;
    const std::string dir = m_dir + "/sdk-log/log";
    DIR* listing = opendir(dir.c_str());
    if (!listing) return -1;
    while (dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + entry->d_name);
        for (std::string line; std::getline(in, line);) {
            if (line.find(text) != std::string::npos) ++count;
        }
    }
    closedir(listing);
    return count;
}

bool TunnelBenchRun::_wanted(const std::string& group) const {
    return m_options.only.empty() ||
           ("," + m_options.only + ",").find("," + group + ",") != std::string::npos;
}

bool TunnelBenchRun::_fail(const std::string& text) {
    fprintf(stderr, "bench_tunnel: %s\n", text.c_str());
    return false;
}

void TunnelBenchRun::_note(const std::string& what, const std::string& text) {
    fprintf(stderr, "bench_tunnel: %s: %s\n", what.c_str(), text.c_str());
}

int TunnelBenchRun::_awaitConnections(int count, int timeoutMs) {
    const auto t0 = SteadyClock::now();
    int last = -1;
    for (;;) {
        std::string line;
        const int left =
            timeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             SteadyClock::now() - t0)
                                             .count());
        if (left <= 0 || !m_sdk.waitForLine("connections ", left, &line)) return last;
        last = connectionsIn(line);
        if (last == count) return last;
    }
}

bool TunnelBenchRun::_moveToBandwidthNode() {
    const std::string onB = ":" + std::to_string(m_ports.switchB) + ",";
    const auto t0 = SteadyClock::now();
    printf("warming up until the SDK moves to the bandwidth node ...\n");
    fflush(stdout);
    while (std::chrono::duration<double>(SteadyClock::now() - t0).count() < 40) {
        double rate = 0;
        std::string error;
        LoadClient::streamRate(loopback(m_ports.forwardSource), 1, false, 1.0, &rate, &error);
        bool moved = false;
        for (const std::string& line : m_sdk.takeLines()) {
            if (line.find(onB) != std::string::npos && line.find(", open,") != std::string::npos)
                moved = true;
        }
        if (moved) {
            printf("on the bandwidth node after %.1f s\n",
                   std::chrono::duration<double>(SteadyClock::now() - t0).count());
            return true;
        }
    }
    showLines("korvane-tunnel", m_sdk.lastLines());
    return _fail("the SDK did not move to the bandwidth node within 40 s");
}

void TunnelBenchRun::_idleMemory() {
    std::string error;
    std::vector<int> fds;
    // Page in the channel code paths first, so they do not count as per-connection cost.
    bool ok = LoadClient::openIdle(loopback(m_ports.forwardEcho), 20, 10, &fds, &error);
    LoadClient::closeAll(&fds);
    if (ok && _awaitConnections(0, 5000) != 0) {
        error = "the host did not report its warm-up connections closed";
        ok = false;
    }
    const long before = m_sdk.residentKiB();
    ok = ok &&
         LoadClient::openIdle(loopback(m_ports.forwardEcho), IDLE_CONNECTIONS, 30, &fds, &error);
    int seen = -1;
    if (ok) {
        seen = _awaitConnections(IDLE_CONNECTIONS, 5000);
        if (seen != IDLE_CONNECTIONS) {
            error = "the host reports " + std::to_string(seen) + " connections";
            ok = false;
        }
    }
    const long after = m_sdk.residentKiB();
    LoadClient::closeAll(&fds);
    double perConnection = -1;
    if (ok && before > 0 && after > 0) {
        perConnection = static_cast<double>(after - before) / IDLE_CONNECTIONS;
        printf("SDK resident memory: %ld KiB before, %ld KiB with %d idle connections\n", before,
               after, IDLE_CONNECTIONS);
    } else {
        _note("idle memory", error);
    }
    m_table.add("resident memory per idle connection", "KiB", -1, perConnection,
                ResultTable::VALUE_AT_MOST, 64, ok ? "" : error);
    _awaitConnections(0, 5000);
}

void TunnelBenchRun::_alternate(const std::string& name, const Measure& measure, bool settle,
                                std::vector<double>* direct, std::vector<double>* tunnel) {
    std::vector<std::vector<double>> samples[2];
    for (int round = 0; round < ROUNDS; ++round) {
        for (int path = 0; path < 2; ++path) {
            std::vector<double> values;
            std::string error;
            if (measure(path == 1, &values, &error)) {
                samples[path].push_back(values);
            } else {
                _note(name + (path ? " tunnel" : " direct"), error);
            }
        }
    }
    // Whatever the tunnel still holds is gone before the next measurement.
    if (settle) _awaitConnections(0, 3000);
    std::vector<double>* out[2] = {direct, tunnel};
    for (int path = 0; path < 2; ++path) {
        out[path]->clear();
        if (samples[path].empty()) continue;
        for (size_t i = 0; i < samples[path][0].size(); ++i) {
            std::vector<double> column;
            for (const std::vector<double>& values : samples[path]) column.push_back(values[i]);
            std::sort(column.begin(), column.end());
            out[path]->push_back(column[column.size() / 2]);
        }
    }
}

void TunnelBenchRun::_streams(int streams, bool download, const std::string& name,
                              ResultTable::Goal goal, double limit) {
    const uint16_t directPort = download ? m_ports.directSource : m_ports.directSink;
    const uint16_t tunnelPort = download ? m_ports.forwardSource : m_ports.forwardSink;
    const double seconds = m_durations.stream;
    std::vector<double> direct, tunnel;
    _alternate(
        name,
        [&](bool viaTunnel, std::vector<double>* out, std::string* error) {
            double rate = 0;
            if (!LoadClient::streamRate(loopback(viaTunnel ? tunnelPort : directPort), streams,
                                        !download, seconds, &rate, error)) {
                return false;
            }
            out->push_back(rate / (1024 * 1024));
            return true;
        },
        true, &direct, &tunnel);
    const double d = direct.empty() ? -1 : direct[0];
    const double t = tunnel.empty() ? -1 : tunnel[0];
    printf("%-24s direct %.1f MiB/s, tunnel %.1f MiB/s\n", name.c_str(), d, t);
    fflush(stdout);
    m_table.add(name, "MiB/s", d, t, goal, limit);
}

void TunnelBenchRun::_latency() {
    const double seconds = m_durations.latency;
    std::vector<double> direct, tunnel;
    _alternate(
        "round trips",
        [&](bool viaTunnel, std::vector<double>* out, std::string* error) {
            LoadClient::Latency latency;
            if (!LoadClient::roundTrips(
                    loopback(viaTunnel ? m_ports.forwardEcho : m_ports.directEcho), 64, seconds,
                    &latency, error)) {
                return false;
            }
            out->push_back(latency.medianUs);
            out->push_back(latency.p99Us);
            return true;
        },
        false, &direct, &tunnel);
    const bool directOk = direct.size() == 2;
    const bool tunnelOk = tunnel.size() == 2;
    printf("64-byte round trips: median direct %.1f us, tunnel %.1f us\n",
           directOk ? direct[0] : -1, tunnelOk ? tunnel[0] : -1);
    fflush(stdout);
    m_table.add("64-byte round trip median", "us", directOk ? direct[0] : -1,
                tunnelOk ? tunnel[0] : -1, ResultTable::RATIO_AT_MOST, 3.0);
    m_table.add("64-byte round trip p99", "us", directOk ? direct[1] : -1,
                tunnelOk ? tunnel[1] : -1, ResultTable::NONE, 0);
}

void TunnelBenchRun::_setupRate() {
    const double seconds = m_durations.setup;
    std::vector<double> direct, tunnel;
    _alternate(
        "setup",
        [&](bool viaTunnel, std::vector<double>* out, std::string* error) {
            double rate = 0;
            if (!LoadClient::setupRate(
                    loopback(viaTunnel ? m_ports.forwardEcho : m_ports.directEcho), seconds, &rate,
                    error)) {
                return false;
            }
            out->push_back(rate);
            return true;
        },
        false, &direct, &tunnel);
    const double d = direct.empty() ? -1 : direct[0];
    const double t = tunnel.empty() ? -1 : tunnel[0];
    printf("connection setup: direct %.0f/s, tunnel %.0f/s\n", d, t);
    fflush(stdout);
    m_table.add("connection setup + first echo", "conn/s", d, t, ResultTable::RATIO_AT_LEAST, 0.3);
}

void TunnelBenchRun::_failover() {
    std::string error;
    std::string answer;
    double gapMs = -1;
    const bool ok = LoadClient::gapAfter(
        loopback(m_ports.forwardEcho), 0.5,
        [&]() {
            if (!adminCommand(m_ports.admin, "down bound", &answer)) return false;
            return answer.compare(0, 3, "ok ") == 0;
        },
        10.0, &gapMs, &error);
    if (!ok) _note("failover", error + (answer.empty() ? "" : " (lab: " + answer + ")"));
    printf("failover: lab answered '%s', gap %.0f ms\n", answer.c_str(), gapMs);
    fflush(stdout);
    m_table.add("failover gap, fast tick", "ms", -1, ok ? gapMs : -1, ResultTable::VALUE_AT_MOST,
                3000);
}

}  // namespace bench
