#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tunnel/BenchPlan.h"
#include "tunnel/ChildProcess.h"
#include "tunnel/ResultTable.h"

namespace bench {

// One benchmark run: starts the back ends, the lab and the SDK host, measures
// both paths metric by metric and prints the table.
class TunnelBenchRun {
public:
    struct Options {
        bool quick = false;
        bool keep = false;
        std::string only;  // comma-separated groups; empty: all
        std::string labPath;
        std::string tunnelPath;
    };

    TunnelBenchRun(const Options& options, const std::string& dir);
    TunnelBenchRun(const TunnelBenchRun&) = delete;
    TunnelBenchRun& operator=(const TunnelBenchRun&) = delete;

    // 0 when every target was met, 1 when one was missed, 2 when the run could not start.
    int execute();

private:
    // Direct and tunnel take turns, ROUNDS times each, and each figure is
    // the median of its rounds, so that load from elsewhere on the machine
    // falls on both paths alike.
    static constexpr int ROUNDS = 3;
    // One measurement of one path: its figures in a fixed order, or false
    // with a reason.
    typedef std::function<bool(bool viaTunnel, std::vector<double>* out, std::string* error)>
        Measure;

    // Seconds per measurement and round.
    struct Durations {
        double stream;
        double latency;
        double setup;
    };

    bool _startLab();
    bool _startSdk();
    // Other work on this machine skews every figure; the table says how much there was.
    static std::string _loadAverage();
    // Lines of the SDK's own log that contain text.
    int _countLogLines(const std::string& text) const;
    bool _wanted(const std::string& group) const;
    bool _fail(const std::string& text);
    void _note(const std::string& what, const std::string& text);
    // Waits up to timeoutMs for the host to report exactly count tunnelled
    // connections; the last count seen otherwise.
    int _awaitConnections(int count, int timeoutMs);
    // Downloads through the tunnel until the host reports switch b, the
    // bandwidth node. Streams cut by the optimizer's unbind do not matter here.
    bool _moveToBandwidthNode();
    void _idleMemory();
    // Per figure, the median over the rounds that succeeded (empty when none
    // did). With settle, it returns once the host has let go of its
    // connections, so that bytes still in flight do not load what comes next.
    void _alternate(const std::string& name, const Measure& measure, bool settle,
                    std::vector<double>* direct, std::vector<double>* tunnel);
    void _streams(int streams, bool download, const std::string& name, ResultTable::Goal goal,
                  double limit);
    void _latency();
    void _setupRate();
    void _failover();

    Options m_options;
    std::string m_dir;
    BenchPlan m_ports;
    Durations m_durations;
    ChildProcess m_backends;
    ChildProcess m_lab;
    ChildProcess m_sdk;
    ResultTable m_table;
};

}  // namespace bench
