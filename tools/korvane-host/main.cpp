// korvane-host --config host.json [--json] [--quiet] [--duration SECONDS]
//              [--metrics [HOST:]PORT]
//
// Embeds the SDK the way an application does: starts it with the file's JSON,
// prints its status every second and on every SDK event, and stands in for the application
// lifecycle: SIGTSTP or SIGUSR1 send it to the background, SIGCONT or SIGUSR2
// bring it back, SIGHUP does both (a reload). SIGINT or SIGTERM stop it.
// Exits non-zero with the SDK's error text when the start fails. Under a
// service manager it reports readiness once the start has opened a tunnel.
#include <korvane.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "MetricsServer.h"
#include "MetricsText.h"
#include "Readiness.h"
#include "StatusPrinter.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_background{0};
std::atomic<int> g_foreground{0};
std::atomic<int> g_reload{0};

void onSignal(int signal) {
    switch (signal) {
        case SIGTSTP:
        case SIGUSR1:
            ++g_background;
            break;
        case SIGCONT:
        case SIGUSR2:
            ++g_foreground;
            break;
        case SIGHUP:
            ++g_reload;
            break;
        default:
            g_stop = true;
    }
}

void installHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGTSTP, SIGCONT, SIGUSR1, SIGUSR2, SIGHUP}) sigaction(s, &action, nullptr);
}

int usage(const char* message) {
    if (message) std::fprintf(stderr, "korvane-host: %s\n", message);
    std::fprintf(stderr,
                 "usage: korvane-host --config FILE [--json] [--quiet] [--duration SECONDS]\n"
                 "                    [--metrics [HOST:]PORT]\n"
                 "  FILE holds the JSON handed to korvane_start, e.g. {\"access_key\": \"...\"}\n"
                 "  --json      status as one JSON object per target and second\n"
                 "  --quiet     no status lines\n"
                 "  --duration  stop after SECONDS (0: run until stopped)\n"
                 "  --metrics   serve Prometheus metrics on http://HOST:PORT/metrics\n"
                 "              (HOST 127.0.0.1 unless given; [::1]:PORT for IPv6)\n"
                 "  signals: SIGTSTP/SIGUSR1 background, SIGCONT/SIGUSR2 foreground,\n"
                 "           SIGHUP background then foreground, SIGINT/SIGTERM stop\n");
    return 2;
}

// How the status is shown: the output form and the metrics endpoint, if any.
struct StatusOutput {
    bool json = false;
    bool quiet = false;
    korvane_host::MetricsServer* metrics = nullptr;
};

// Takes the SDK's status once, hands it to the metrics endpoint and prints it.
// Called from the main loop and from the SDK's notifier thread; the status
// text is the calling thread's own, and the endpoint locks its copy.
void takeStatus(const StatusOutput& output) {
    const std::string status = korvane_status();
    if (output.metrics) output.metrics->setBody(status);
    if (output.quiet) return;
    const auto lines = output.json ? korvane_host::StatusPrinter::jsonLines(status)
                                   : korvane_host::StatusPrinter::lines(status);
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Runs on the SDK's notifier thread: the event, then the status it changed.
void onEvent(const char* eventJson, void* context) {
    std::printf("[Host] event %s\n", eventJson);
    takeStatus(*static_cast<const StatusOutput*>(context));
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line also when stdout is a pipe (a journal, a test).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string configPath;
    bool json = false;
    bool quiet = false;
    std::string metricsAddress;
    long duration = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--metrics" && i + 1 < argc) {
            metricsAddress = argv[++i];
        } else if (arg == "--duration" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            duration = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || !end || *end != '\0' || duration < 0) return usage("bad --duration");
        } else if (arg == "--help" || arg == "-h") {
            return usage(nullptr);
        } else {
            return usage(("unknown argument: " + arg).c_str());
        }
    }
    if (configPath.empty()) return usage("--config is required");

    std::ifstream file(configPath, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "korvane-host: cannot read %s\n", configPath.c_str());
        return 2;
    }
    std::stringstream content;
    content << file.rdbuf();

    // The endpoint only ever serves the last status taken below, rendered on
    // its own thread.
    korvane_host::MetricsServer metricsServer;
    korvane_host::MetricsServer* metrics = nullptr;
    if (!metricsAddress.empty()) {
        korvane_host::MetricsText::Process process;
        process.startTimeSeconds = static_cast<double>(std::time(nullptr));
        process.version = KORVANE_HOST_VERSION;
        metricsServer.render = [process](const std::string& status) {
            return korvane_host::MetricsText::render(status, process);
        };
        metricsServer.setBody("{}");
        if (!metricsServer.start(metricsAddress)) {
            std::fprintf(stderr, "korvane-host: %s\n", metricsServer.error().c_str());
            return 2;
        }
        metrics = &metricsServer;
        std::printf("[Host] metrics on port %d\n", metricsServer.port());
    }

    const StatusOutput output{json, quiet, metrics};
    installHandlers();
    korvane_set_listener(&onEvent, const_cast<StatusOutput*>(&output));
    const int rc = korvane_start(content.str().c_str());
    if (rc != KORVANE_OK) {
        std::fprintf(stderr, "korvane-host: start failed (%d): %s\n", rc, korvane_error());
        return 1;
    }
    std::printf("[Host] started\n");
    takeStatus(output);
    korvane_host::Readiness::notify("READY=1");

    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    auto nextStatus = began + std::chrono::seconds(1);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (; g_background > 0; --g_background) {
            std::printf("[Host] entering background\n");
            korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND);
        }
        for (; g_foreground > 0; --g_foreground) {
            std::printf("[Host] entering foreground\n");
            korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND);
        }
        for (; g_reload > 0; --g_reload) {
            korvane_host::Readiness::notify("RELOADING=1");
            std::printf("[Host] reloading\n");
            korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND);
            korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND);
            korvane_host::Readiness::notify("READY=1");
        }
        const auto now = Clock::now();
        if (now >= nextStatus) {
            takeStatus(output);
            nextStatus = now + std::chrono::seconds(1);
        }
        if (duration > 0 && now - began >= std::chrono::seconds(duration)) break;
    }
    korvane_host::Readiness::notify("STOPPING=1");
    korvane_stop();
    korvane_set_listener(nullptr, nullptr);
    metricsServer.stop();
    std::printf("[Host] stopped\n");
    return 0;
}
