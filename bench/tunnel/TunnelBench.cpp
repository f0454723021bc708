// The tunnel path against direct loopback, side by side in one run:
//
//   application -> SDK local forward -> lab switch -> back end
//   application -> back end
//
// The lab (korvane-lab) and the SDK host (korvane-tunnel) run as child
// processes on generated configurations, so the SDK's resident memory is its
// own. Both paths end at the lab's back ends (echo, source, sink).
//
//   bench_tunnel [--quick] [--only idle,streams,latency,setup,failover]
//                [--lab PATH] [--tunnel PATH] [--keep]
//
// Switch a is a standard node, switch b a bandwidth node. Under sustained
// traffic (512 KiB/s over 10 s) the SDK leaves a standard node to look for a
// bandwidth one, stalling its streams while it reselects; so the throughput
// figures start only once a warm-up load has moved it to b, as it would be
// in an application that moves data in bulk.

#include <ftw.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "tunnel/TunnelBenchRun.h"

#ifndef KORVANE_LAB_BINARY
#define KORVANE_LAB_BINARY "korvane-lab"
#endif
#ifndef KORVANE_TUNNEL_BINARY
#define KORVANE_TUNNEL_BINARY "korvane-tunnel"
#endif

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void usage() {
    fprintf(stderr,
            "usage: bench_tunnel [--quick] [--only idle,streams,latency,setup,failover]\n"
            "                    [--lab PATH] [--tunnel PATH] [--keep]\n");
}

}  // namespace

int main(int argc, char** argv) {
    bench::TunnelBenchRun::Options options;
    options.labPath = KORVANE_LAB_BINARY;
    options.tunnelPath = KORVANE_TUNNEL_BINARY;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else if ((arg == "--lab" || arg == "--tunnel") && i + 1 < argc) {
            (arg == "--lab" ? options.labPath : options.tunnelPath) = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/bench_tunnel.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        perror("bench_tunnel: mkdtemp");
        return 2;
    }
    const std::string dir = dirTemplate;
    int status;
    {
        bench::TunnelBenchRun run(options, dir);
        status = run.execute();
    }
    // The configurations and logs stay for a look when anything failed.
    if (!options.keep && status == 0) {
        nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    } else {
        printf("configurations and logs kept in %s\n", dir.c_str());
    }
    return status;
}
