// korvane-host --config host.json [--json] [--duration SECONDS]
//
// Embeds the SDK the way an application does: starts it with the file's JSON,
// prints its status every second and on every SDK event, and stands in for the application
// lifecycle: SIGTSTP or SIGUSR1 send it to the background, SIGCONT or SIGUSR2
// bring it back. SIGINT or SIGTERM stop it. Exits non-zero with the SDK's
// error text when the start fails.
#include <korvane.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "StatusPrinter.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_background{0};
std::atomic<int> g_foreground{0};

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
        default:
            g_stop = true;
    }
}

void installHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGTSTP, SIGCONT, SIGUSR1, SIGUSR2}) sigaction(s, &action, nullptr);
}

int usage(const char* message) {
    if (message) std::fprintf(stderr, "korvane-host: %s\n", message);
    std::fprintf(stderr,
                 "usage: korvane-host --config FILE [--json] [--duration SECONDS]\n"
                 "  FILE holds the JSON handed to korvane_start, e.g. {\"access_key\": \"...\"}\n"
                 "  signals: SIGTSTP/SIGUSR1 background, SIGCONT/SIGUSR2 foreground,\n"
                 "           SIGINT/SIGTERM stop\n");
    return 2;
}

void printStatus(bool json) {
    const std::string status = korvane_status();
    const auto lines = json ? korvane_host::StatusPrinter::jsonLines(status)
                            : korvane_host::StatusPrinter::lines(status);
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Runs on the SDK's notifier thread: the event, then the status it changed.
void onEvent(const char* eventJson, void* context) {
    std::printf("[Host] event %s\n", eventJson);
    printStatus(*static_cast<bool*>(context));
}

}  // namespace

int main(int argc, char** argv) {
    std::string configPath;
    bool json = false;
    long duration = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg == "--json") {
            json = true;
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

    installHandlers();
    korvane_set_listener(&onEvent, &json);
    const int rc = korvane_start(content.str().c_str());
    if (rc != KORVANE_OK) {
        std::fprintf(stderr, "korvane-host: start failed (%d): %s\n", rc, korvane_error());
        return 1;
    }
    std::printf("[Host] started\n");
    printStatus(json);

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
        const auto now = Clock::now();
        if (now >= nextStatus) {
            printStatus(json);
            nextStatus = now + std::chrono::seconds(1);
        }
        if (duration > 0 && now - began >= std::chrono::seconds(duration)) break;
    }
    korvane_stop();
    korvane_set_listener(nullptr, nullptr);
    std::printf("[Host] stopped\n");
    return 0;
}
