// korvane-lab: the servers the SDK talks to, on loopback addresses: switches
// relaying tunnels to back ends, and the back ends themselves.
//
//   korvane-lab --config examples/lab.json
//   korvane-lab --listen 127.0.0.1:7101 --access-key demo-key [--latency 30] [--fault silent]
//   korvane-lab --listen [::1]:7101 --access-key demo-key

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "lab_switch/SwitchConfig.h"
#include "lab_network/LabNetwork.h"
#include "lab_switch/SwitchLab.h"
#include "net/src/socket/SocketEventSelector.h"

using kx::core::String;

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop.store(true);
}

void usage() {
    fprintf(
        stderr,
        "usage: korvane-lab --config FILE\n"
        "       korvane-lab --listen 127.0.0.1:PORT|[::1]:PORT --access-key KEY [--latency MS]\n"
        "                   [--fault none|mute|silent|close_after_make|close_after_login|"
        "refuse|slow] [--slow-ms MS]\n");
}

bool readFile(const char* path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    lab::LabConfig config;
    lab::SwitchConfig single;
    bool haveSingle = false;
    String error;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (!value) {
            usage();
            return 2;
        }
        ++i;
        if (arg == "--config") {
            std::string text;
            if (!readFile(value, &text)) {
                fprintf(stderr, "korvane-lab: cannot read %s\n", value);
                return 2;
            }
            if (!lab::LabConfig::fromJson(String::fromUtf8(text), &config, &error)) {
                fprintf(stderr, "korvane-lab: %s: %s\n", value, error.toStdString().c_str());
                return 2;
            }
        } else if (arg == "--listen") {
            haveSingle = true;
            if (!lab::LabConfig::parseLoopbackAddress(String::fromUtf8(value), &single.listen)) {
                fprintf(stderr,
                        "korvane-lab: --listen needs a loopback address (127.0.0.0/8 or [::1])"
                        " and port\n");
                return 2;
            }
            single.name = String::fromUtf8(value);
        } else if (arg == "--access-key") {
            single.accessKeys.append(String::fromUtf8(value));
        } else if (arg == "--latency") {
            single.latency = atoi(value);
        } else if (arg == "--slow-ms") {
            single.slowMs = atoi(value);
        } else if (arg == "--fault") {
            if (!lab::SwitchFaults::parse(String::fromUtf8(value), &single.fault)) {
                fprintf(stderr, "korvane-lab: unknown fault %s\n", value);
                return 2;
            }
        } else {
            usage();
            return 2;
        }
    }
    if (haveSingle) config.switches.append(single);
    if (config.switches.isEmpty()) {
        usage();
        return 2;
    }

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    kx::net::SocketEventSelector selector(config.tickMs);
    lab::LabNetwork network(&selector);
    if (!network.start(config, &error)) {
        fprintf(stderr, "korvane-lab: %s\n", error.toStdString().c_str());
        return 1;
    }
    // Switches first: scripts read the first line for the port of a lone switch.
    kx::core::Array<String> lines = network.describe();
    for (const String& line : lines) {
        if (line.startsWith(L"switch ")) printf("%s\n", line.toStdString().c_str());
    }
    for (const String& line : lines) {
        if (!line.startsWith(L"switch ")) printf("%s\n", line.toStdString().c_str());
    }
    printf("ready\n");
    fflush(stdout);
    while (!g_stop.load()) {
        selector.select(config.tickMs);
        network.tick();
    }
    return 0;
}
