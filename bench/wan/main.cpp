// korvane-wan: an emulated WAN link on loopback for benchmarks and soak runs.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "WanProxy.h"

namespace {

wan::WanProxy* g_proxy = nullptr;

void onSignal(int) {
    if (g_proxy) g_proxy->stop();
}

int usage() {
    std::fprintf(
        stderr,
        "usage: korvane-wan [--delay-ms N] [--jitter-ms N] [--rate-mbit N] [--queue-ms N]\n"
        "                   [--sockbuf-kib N] [--control ADDR]\n"
        "                   --tcp LISTEN=TARGET... [--udp LISTEN=TARGET...]\n"
        "  Every pair shares one link: --delay-ms one way (default 25), --rate-mbit each\n"
        "  direction (default 100), --queue-ms of queue in front of it (default 20).\n"
        "  Addresses are loopback only: 127.0.0.1:PORT or [::1]:PORT.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    wan::WanProfile profile;
    struct PairArg {
        bool udp;
        std::string listen, target;
    };
    std::vector<PairArg> pairs;
    std::string control;
    static const struct {
        const char* flag;
        const char* key;
    } SETTINGS[] = {{"--delay-ms", "delay_ms"},
                    {"--jitter-ms", "jitter_ms"},
                    {"--rate-mbit", "rate_mbit"},
                    {"--queue-ms", "queue_ms"},
                    {"--sockbuf-kib", "sockbuf_kib"}};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        std::string value = argv[++i];
        bool known = false;
        for (const auto& setting : SETTINGS) {
            if (arg != setting.flag) continue;
            std::string error;
            if (!profile.apply(std::string(setting.key) + "=" + value, &error)) {
                std::fprintf(stderr, "korvane-wan: %s\n", error.c_str());
                return 2;
            }
            known = true;
        }
        if (known) continue;
        if (arg == "--tcp" || arg == "--udp") {
            size_t eq = value.find('=');
            if (eq == std::string::npos) return usage();
            pairs.push_back(PairArg{arg == "--udp", value.substr(0, eq), value.substr(eq + 1)});
        } else if (arg == "--control") {
            control = value;
        } else {
            return usage();
        }
    }
    if (pairs.empty()) return usage();

    wan::WanProxy proxy(profile);
    std::string error;
    for (const PairArg& pair : pairs) {
        bool ok = pair.udp ? proxy.addUdp(pair.listen, pair.target, &error)
                           : proxy.addTcp(pair.listen, pair.target, &error);
        if (!ok) {
            std::fprintf(stderr, "korvane-wan: %s\n", error.c_str());
            return 1;
        }
    }
    if (!control.empty() && !proxy.listenControl(control, &error)) {
        std::fprintf(stderr, "korvane-wan: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& line : proxy.describe()) std::printf("%s\n", line.c_str());
    std::printf("ready\n");
    std::fflush(stdout);
    g_proxy = &proxy;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    proxy.run();
    g_proxy = nullptr;
    return 0;
}
