// korvane-lab-client: pushes checked traffic through a relayed path.
//
//   korvane-lab-client echo --port 18001 --bytes 8000000 [--admin PORT --down-at BYTES]
//   korvane-lab-client source --port PORT --bytes N
//   korvane-lab-client udp --port 18002 [--count 20] [--size 1200]
//   korvane-lab-client admin --admin PORT COMMAND...
//
// --host ADDRESS (127.0.0.1 unless given, e.g. ::1) is where the port is, and
// the admin port too unless --admin-host names another address.
// Prints one PASS or FAIL line; the exit status is 0 only for PASS.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lab_client/EchoClient.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: korvane-lab-client echo --port PORT --bytes N [--admin PORT --down-at BYTES]"
            " [--limit-ms MS]\n"
            "       korvane-lab-client source --port PORT --bytes N [--limit-ms MS]\n"
            "       korvane-lab-client udp --port PORT [--count N] [--size BYTES] [--limit-ms MS]\n"
            "       korvane-lab-client admin --admin PORT COMMAND...\n"
            "       every mode takes --host ADDRESS (127.0.0.1 unless given, e.g. ::1) and\n"
            "       --admin-host ADDRESS (--host unless given)\n");
}

int report(const char* what, const lab::EchoClient::Result& result) {
    if (result.ok) {
        double seconds = result.elapsedMs > 0 ? result.elapsedMs / 1000.0 : 0.001;
        printf("PASS %s: %lld bytes sent, %lld received intact in %lld ms (%.1f MB/s)", what,
               static_cast<long long>(result.sent), static_cast<long long>(result.received),
               static_cast<long long>(result.elapsedMs), result.received / seconds / 1e6);
        if (!result.receivedMd5.empty()) printf(", md5 %s", result.receivedMd5.c_str());
        printf("\n");
        return 0;
    }
    printf("FAIL %s: %s (%lld bytes sent, %lld received, %lld ms)\n", what, result.error.c_str(),
           static_cast<long long>(result.sent), static_cast<long long>(result.received),
           static_cast<long long>(result.elapsedMs));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    std::string mode = argv[1];
    long port = 0, adminPort = 0, count = 20, size = 1200, limitMs = 60000;
    long long bytes = 0, downAt = -1;
    std::string command;
    kx::net::IpAddress host(0x7F000001u);
    kx::net::IpAddress adminHost;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg.rfind("--", 0) != 0) {
            command += (command.empty() ? "" : " ") + arg;
            continue;
        }
        if (!value) {
            usage();
            return 2;
        }
        ++i;
        if (arg == "--host" || arg == "--admin-host") {
            kx::net::IpAddress address = kx::net::IpAddress::fromText(value);
            if (address.isAny()) {
                fprintf(stderr, "korvane-lab-client: %s needs an IPv4 or IPv6 address\n",
                        arg.c_str());
                return 2;
            }
            (arg == "--host" ? host : adminHost) = address;
        } else if (arg == "--port") {
            port = atol(value);
        } else if (arg == "--admin") {
            adminPort = atol(value);
        } else if (arg == "--bytes") {
            bytes = atoll(value);
        } else if (arg == "--down-at") {
            downAt = atoll(value);
        } else if (arg == "--count") {
            count = atol(value);
        } else if (arg == "--size") {
            size = atol(value);
        } else if (arg == "--limit-ms") {
            limitMs = atol(value);
        } else {
            usage();
            return 2;
        }
    }
    bool portOk = port > 0 && port < 65536;
    const kx::net::SocketAddress to(host, static_cast<uint16_t>(portOk ? port : 0));
    const bool adminOk = adminPort > 0 && adminPort < 65536;
    const kx::net::SocketAddress admin(adminHost.isAny() ? host : adminHost,
                                       static_cast<uint16_t>(adminOk ? adminPort : 0));
    if (mode == "admin") {
        if (!adminOk || command.empty()) {
            usage();
            return 2;
        }
        std::string answer;
        if (!lab::EchoClient::admin(admin, command, &answer)) {
            printf("FAIL admin: no answer\n");
            return 1;
        }
        printf("%s\n", answer.c_str());
        return answer.rfind("ok", 0) == 0 ? 0 : 1;
    }
    if (mode == "echo" && portOk && bytes > 0 && bytes <= (1LL << 30)) {
        bool downed = false;
        auto progress = [&](int64_t received) {
            if (downed || downAt < 0 || received < downAt || !adminOk) return;
            downed = true;
            std::string answer;
            bool ok = lab::EchoClient::admin(admin, "down bound", &answer);
            printf("after %lld bytes: down bound -> %s\n", static_cast<long long>(received),
                   ok ? answer.c_str() : "no answer");
            fflush(stdout);
        };
        return report("tcp echo", lab::EchoClient::tcpEcho(to, bytes, static_cast<int32_t>(limitMs),
                                                           1, progress));
    }
    if (mode == "source" && portOk && bytes > 0) {
        return report("tcp source",
                      lab::EchoClient::tcpSource(to, bytes, static_cast<int32_t>(limitMs)));
    }
    if (mode == "udp" && portOk && count > 0 && size > 0 && size <= 65507) {
        return report("udp echo", lab::EchoClient::udpEcho(to, static_cast<int32_t>(count),
                                                           static_cast<int32_t>(size),
                                                           static_cast<int32_t>(limitMs)));
    }
    usage();
    return 2;
}
