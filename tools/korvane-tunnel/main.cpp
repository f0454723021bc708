// korvane-tunnel: runs the tunnel clients of a target file on one worker loop,
// without the control API, and prints one status line per target a second.
//
//   korvane-tunnel --config examples/targets.json [--log-dir DIR] [--duration SECONDS]

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/src/value/String.h"
#include "tunnel_host/ConsoleLogRecorder.h"
#include "tunnel_host/StopSignal.h"
#include "tunnel_host/TargetConfig.h"
#include "tunnel_host/TunnelHost.h"
#include "util/src/log/FileLogRecorder.h"

using kx::core::String;

namespace {

// Keeps every millisecond count inside the 32-bit timers.
const long MAX_DURATION_SECONDS = 2000000;

void usage() {
    fprintf(stderr, "usage: korvane-tunnel --config FILE [--log-dir DIR] [--duration SECONDS]\n");
}

bool parseSeconds(const char* text, long* out) {
    errno = 0;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > MAX_DURATION_SECONDS)
        return false;
    *out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* configPath = nullptr;
    const char* logDir = nullptr;
    long durationSeconds = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            usage();
            return 2;
        }
        ++i;
        if (arg == "--config") {
            configPath = value;
        } else if (arg == "--log-dir") {
            logDir = value;
        } else if (arg == "--duration") {
            if (!parseSeconds(value, &durationSeconds)) {
                fprintf(stderr, "korvane-tunnel: --duration needs whole seconds (0 to %ld)\n",
                        MAX_DURATION_SECONDS);
                return 2;
            }
        } else {
            usage();
            return 2;
        }
    }
    if (!configPath) {
        usage();
        return 2;
    }

    tunnel::TargetConfig config;
    String error;
    if (!tunnel::TargetConfig::load(String::fromUtf8(configPath), &config, &error)) {
        fprintf(stderr, "korvane-tunnel: %s\n", error.toStdString().c_str());
        return 2;
    }

    // Sockets report a closed peer as an error, never as a signal.
    signal(SIGPIPE, SIG_IGN);
    tunnel::StopSignal::install();

    std::unique_ptr<kx::util::ILogRecorder> logger;
    if (logDir) {
        logger.reset(new kx::util::FileLogRecorder(String::fromUtf8(logDir)));
    } else {
        logger.reset(new tunnel::ConsoleLogRecorder());
    }

    int status = 0;
    {
        tunnel::TunnelHost host(logger.get());
        host.onStatus = [](const String& line) { tunnel::ConsoleLogRecorder::print(line); };
        if (host.start(config)) {
            host.run(tunnel::StopSignal::flag(),
                     durationSeconds < 0 ? -1 : static_cast<int32_t>(durationSeconds * 1000));
            logger->info(tunnel::StopSignal::isRaised() ? L"[Host] Stop requested, stopping."
                                                        : L"[Host] Duration over, stopping.");
        } else {
            logger->error(L"[Host] " + host.errorText());
            status = 1;
        }
    }
    return status;
}
