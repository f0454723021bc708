#!/usr/bin/env python3
"""Turns the JSON lines of bench/compare/run.sh into BENCHMARKS.md and a PNG
chart of the ratios to the direct path."""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import tempfile
import time

PATHS = ["direct", "korvane", "haproxy", "socat", "ssh", "shadowsocks"]
# metric, heading, higher is better, compared with direct
METRICS = [
    ("tput_up_gbps", "1 stream up Gbit/s", True, True),
    ("tput_down_gbps", "1 stream down Gbit/s", True, True),
    ("tput_8x_gbps", "8 streams Gbit/s", True, True),
    ("pingpong_p50_us", "ping-pong p50 us", False, True),
    ("pingpong_p99_us", "ping-pong p99 us", False, True),
    ("pinned_p50_us", "pinned p50 us", False, True),
    ("pinned_p99_us", "pinned p99 us", False, True),
    ("conn_per_s", "connections/s", True, True),
    ("udp_per_s", "UDP echo/s", True, True),
    ("udp_loss", "UDP loss", False, False),
    ("cpu_client_s_per_gb", "CPU s/GB client side", False, False),
    ("cpu_server_s_per_gb", "CPU s/GB server side", False, False),
    ("idle_kib_per_conn", "KiB per idle connection", False, False),
]
CHARTED = ["tput_up_gbps", "tput_down_gbps", "tput_8x_gbps", "pingpong_p50_us",
           "pinned_p50_us", "conn_per_s", "udp_per_s"]


def load(path):
    values = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            row = json.loads(line)
            values.setdefault((row["path"], row["metric"]), []).append((row["rep"], row["value"]))
    return values


def median(values, path, metric):
    got = [v for _, v in values.get((path, metric), []) if v is not None]
    return statistics.median(got) if got else None


def ratio(values, path, metric):
    """How the path compares with direct; for latencies direct / path, so
    that 1.0 is as good as direct and lower is worse everywhere."""
    mine, base = median(values, path, metric), median(values, "direct", metric)
    if mine is None or base is None or mine == 0 or base == 0:
        return None
    higher = next(m[2] for m in METRICS if m[0] == metric)
    return mine / base if higher else base / mine


def fmt(v, digits=2):
    if v is None:
        return "-"
    if abs(v) >= 100:
        return "%.0f" % v
    return ("%." + str(digits) + "f") % v


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            mem = "%.1f GiB" % (int(f.readline().split()[1]) / 1048576)
    except OSError:
        pass
    load = os.getloadavg()
    return "%s, %d CPUs, %s RAM, Linux %s, load %.2f %.2f %.2f at the end" % (
        cpu, os.cpu_count() or 0, mem, platform.release(), load[0], load[1], load[2])


def chart(values, out):
    rows = []
    for path in PATHS[1:]:
        rows.append([path] + [ratio(values, path, m) for m in CHARTED])
    if shutil.which("gnuplot"):
        with tempfile.TemporaryDirectory() as tmp:
            data = os.path.join(tmp, "ratios.dat")
            with open(data, "w") as f:
                f.write("path " + " ".join(CHARTED) + "\n")
                for row in rows:
                    f.write(row[0] + " " + " ".join("%.4f" % (v or 0) for v in row[1:]) + "\n")
            script = os.path.join(tmp, "chart.gp")
            with open(script, "w") as f:
                f.write('set terminal pngcairo size 1100,500 noenhanced\n' if _has_cairo()
                        else 'set terminal png size 1100,500 noenhanced\n')
                f.write('set output "%s"\n' % out)
                f.write('set title "Ratio to direct loopback (1.0 = as good as direct)"\n')
                f.write(_histogram(len(CHARTED), data))
            subprocess.run(["gnuplot", script], check=True)
        return True
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(11, 5))
    width = 0.8 / len(CHARTED)
    for i, metric in enumerate(CHARTED):
        ax.bar([x + i * width for x in range(len(rows))], [r[i + 1] or 0 for r in rows],
               width, label=metric)
    ax.set_xticks([x + 0.4 - width / 2 for x in range(len(rows))])
    ax.set_xticklabels([r[0] for r in rows])
    ax.set_title("Ratio to direct loopback (1.0 = as good as direct)")
    ax.legend(loc="upper left", bbox_to_anchor=(1, 1))
    fig.tight_layout()
    fig.savefig(out)
    return True


def _histogram(columns, data):
    """gnuplot lines: clustered bars of `columns` series from `data`, first column as labels."""
    return ('set style data histograms\nset style histogram clustered gap 1\n'
            'set style fill solid 0.8 border -1\nset yrange [0:*]\n'
            'set key outside right\nset grid ytics\nset xtics nomirror\n'
            'plot for [i=2:%d] "%s" using i:xtic(1) title columnheader(i)\n' % (columns + 1, data))


def _has_cairo():
    try:
        res = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
        return "pngcairo" in (res.stdout + res.stderr)
    except OSError:
        return False


WAN_BEGIN = "<!-- WAN section: written by bench/compare/run.sh --wan -->"
WAN_END = "<!-- end of the WAN section -->"
WAN_PATHS = ["direct", "korvane", "korvane-base", "haproxy", "ssh", "shadowsocks"]
# metric, heading, digits
WAN_METRICS = [
    ("up_mbit", "1 stream up Mbit/s", 1),
    ("down_mbit", "1 stream down Mbit/s", 1),
    ("8x_mbit", "8 streams Mbit/s", 1),
    ("tcp80_mbit", "TCP at 80 % Mbit/s", 1),
    ("pingpong_ms", "64 B round trip ms", 1),
    ("short_ms", "short connection ms", 1),
    ("udp80_loss_pct", "UDP at 80 % loss %", 2),
    ("failover_gap_ms", "failover gap ms", 0),
    ("nonreader_growth_kib", "non-reading app: SDK growth KiB", 0),
]
# Per-stream window maximum of the receive-window auto-tuning, plus 1 MiB.
NONREADER_BOUND_KIB = 16 * 1024 + 1024


# Written by hand from bench/idle/idle-wakeups.sh; every run of this script keeps it.
IDLE_BEGIN = "<!-- idle section: figures of bench/idle/idle-wakeups.sh -->"
IDLE_END = "<!-- end of the idle section -->"


def section_of(path, begin=WAN_BEGIN, end=WAN_END):
    """A marked section of an existing BENCHMARKS.md, markers included, or ''."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return ""
    a, b = text.find(begin), text.find(end)
    if a < 0 or b < a:
        return ""
    return text[a:b + len(end)]


def wan_section_of(path):
    return section_of(path)


def wan_targets(values, profiles):
    """(text, met) for each target of the WAN run that has a figure."""
    out = []

    def get(path, profile, metric):
        return median(values, path, "%s/%s" % (profile, metric))

    for profile in profiles:
        rtt = float(profile.split("/")[0])
        need = 0.85 if rtt >= 200 else 0.9
        for metric, word in (("up_mbit", "up"), ("down_mbit", "down")):
            k, d = get("korvane", profile, metric), get("direct", profile, metric)
            if k is not None and d:
                out.append(("one stream %s at %s: %.2fx of direct (%.1f / %.1f Mbit/s), target >= %.2fx"
                            % (word, profile, k / d, k, d, need), k / d >= need))
        short = get("korvane", profile, "short_ms")
        if short is not None:
            out.append(("short connection at %s: %.2f round trips (%.1f ms), target <= 1.1"
                        % (profile, short / rtt, short), short / rtt <= 1.1))
        loss = get("korvane", profile, "udp80_loss_pct")
        if loss is not None and rtt == 100:
            out.append(("UDP at 80 %% of the link at %s: %.2f %% lost, target < 1 %%" % (profile, loss),
                        loss < 1.0))
        growth = get("korvane", profile, "nonreader_growth_kib")
        if growth is not None:
            out.append(("non-reading application at %s: SDK resident memory +%d KiB, target <= %d KiB"
                        % (profile, growth, NONREADER_BOUND_KIB), growth <= NONREADER_BOUND_KIB))
    return out


def wan_chart(values, profiles, paths, out):
    if not shutil.which("gnuplot"):
        return False
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "wan.dat")
        cols = [(p, m) for p in profiles for m in ("up_mbit", "down_mbit")]
        with open(data, "w") as f:
            f.write("path " + " ".join("%s_%s" % (p, m.split("_")[0]) for p, m in cols) + "\n")
            for path in paths:
                row = []
                for p, m in cols:
                    mine, base = median(values, path, p + "/" + m), median(values, "direct", p + "/" + m)
                    row.append(mine / base if mine is not None and base else 0)
                f.write(path + " " + " ".join("%.4f" % v for v in row) + "\n")
        script = os.path.join(tmp, "wan.gp")
        with open(script, "w") as f:
            f.write('set terminal pngcairo size 1100,500 noenhanced\n' if _has_cairo()
                    else 'set terminal png size 1100,500 noenhanced\n')
            f.write('set output "%s"\n' % out)
            f.write('set title "One stream over the emulated link, ratio to direct '
                    '(profile round trip ms / Mbit/s, up and down)"\n')
            f.write(_histogram(len(cols), data))
        subprocess.run(["gnuplot", script], check=True)
    return True


def wan_main(args):
    values = load(args.results)
    profiles = args.profiles.split()
    paths = [p for p in WAN_PATHS if any(k[0] == p for k in values)]
    charted = wan_chart(values, profiles, [p for p in paths if p != "direct"], args.chart)
    lines = [WAN_BEGIN, "", "## Over an emulated WAN link", ""]
    lines.append("Generated by `bash bench/compare/run.sh --wan%s` on %s." % (
        " --quick" if args.quick == "1" else "", time.strftime("%Y-%m-%d %H:%M %Z")))
    lines.append("")
    lines.append("- Machine: " + machine())
    lines.append("- Versions: " + args.versions)
    lines.append("- The link: `korvane-wan` on loopback, one process for every path, so all traffic "
                 "shares one rate cap per direction, a queue of 20 ms at the rate in front of it "
                 "(TCP back-pressured, UDP dropped when full) and half the round trip of delay "
                 "each way; a new TCP connection pays one round trip for its handshake. It sits "
                 "where the internet is: korvane-tunnel -> link -> lab switch; ssh -> link -> "
                 "sshd; ss-tunnel -> link -> ss-server; application (or haproxy) -> link -> back "
                 "end for direct.")
    lines.append("- Figures: iperf3 3 s after 1 s of ramp (one stream each way, 8 streams, one "
                 "stream paced at 80 % of the link); 64-byte round trip p50; a short connection "
                 "(connect, one byte echoed, close) p50; numbered 1200-byte UDP datagrams paced "
                 "at 80 % of the link through an echo (loss %); the failover gap (the lab switch "
                 "carrying the tunnel taken down -> the next echo on the same connection); the "
                 "SDK's resident memory growth while an application holds a fast download "
                 "without reading (first profile only).")
    lines.append("")
    targets = wan_targets(values, profiles)
    if targets:
        lines.append("### Targets")
        lines.append("")
        for text, met in targets:
            lines.append("- %s: %s" % ("met" if met else "**missed**", text))
        lines.append("")
    for profile in profiles:
        rtt, mbit = profile.split("/")
        lines.append("### %s ms round trip, %s Mbit/s" % (rtt, mbit))
        lines.append("")
        shown = [m for m in WAN_METRICS if any(
            median(values, p, profile + "/" + m[0]) is not None for p in paths)]
        lines.append("| path | " + " | ".join(m[1] for m in shown) +
                     " | 1 stream up / down vs direct |")
        lines.append("|---|" + "---|" * (len(shown) + 1))
        for path in paths:
            cells = [fmt(median(values, path, profile + "/" + m[0]), m[2]) for m in shown]
            ratios = []
            for m in ("up_mbit", "down_mbit"):
                mine = median(values, path, profile + "/" + m)
                base = median(values, "direct", profile + "/" + m)
                ratios.append(fmt(mine / base if mine is not None and base else None))
            lines.append("| %s | %s | %s |" % (path, " | ".join(cells), " / ".join(ratios)))
        lines.append("")
    if charted:
        lines.append("![one stream over the link, ratio to direct](%s)" % os.path.basename(args.chart))
        lines.append("")
    lines.append(WAN_END)
    section = "\n".join(lines)
    try:
        with open(args.out) as f:
            text = f.read()
    except OSError:
        text = ""
    old = wan_section_of(args.out)
    if old:
        text = text.replace(old, section)
    else:
        text = (text.rstrip("\n") + "\n\n" if text else "") + section + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    for text, met in targets:
        print("%s: %s" % ("MET" if met else "MISSED", text))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--chart", required=True)
    ap.add_argument("--versions", default="")
    ap.add_argument("--reps", default="?")
    ap.add_argument("--quick", default="0")
    ap.add_argument("--wan", action="store_true", help="write only the WAN section of --out")
    ap.add_argument("--profiles", default="")
    args = ap.parse_args()
    if args.wan:
        wan_main(args)
        return
    values = load(args.results)
    charted = chart(values, args.chart)

    lines = ["# Benchmarks: korvane against other relays", ""]
    lines.append("Generated by `bash bench/compare/run.sh%s` on %s." % (
        " --quick" if args.quick == "1" else "", time.strftime("%Y-%m-%d %H:%M %Z")))
    lines.append("All traffic on loopback; %s interleaved repetition(s); medians below, every "
                 "repetition at the end." % args.reps)
    lines.append("")
    lines.append("- Machine: " + machine())
    lines.append("- Versions: " + args.versions)
    lines.append("- Paths: direct (no relay); korvane (korvane-tunnel -> lab switch -> back end, "
                 "tcp_remote/udp_remote); haproxy (TCP mode); socat (fork); ssh -L "
                 "(aes128-gcm, local sshd); shadowsocks-libev (ss-tunnel -> ss-server, "
                 "chacha20-ietf-poly1305).")
    lines.append("- Throughput: iperf3, 1 stream each way and 8 streams. Ping-pong: 64 bytes "
                 "against the lab's echo, unpinned and with every process on CPU 0. Connections: "
                 "connect, one byte echoed, close. UDP: 1200-byte datagrams, 32 in flight. CPU: "
                 "/proc/<pid>/stat of each side (with children) during the 1-stream upload. "
                 "Memory: growth of the proportional set size of both sides (with children) per "
                 "idle connection that has echoed one byte, measured once on processes that have "
                 "carried no traffic yet, after a warm-up of 20 connections.")
    lines.append("")
    lines.append("## Ratio to direct (1.00 = as good as direct; below 1 is worse)")
    lines.append("")
    compared = [m for m in METRICS if m[3]]
    lines.append("| path | " + " | ".join(m[1] for m in compared) + " |")
    lines.append("|---|" + "---|" * len(compared))
    for path in PATHS[1:]:
        lines.append("| %s | " % path + " | ".join(fmt(ratio(values, path, m[0]))
                                                   for m in compared) + " |")
    lines.append("")
    lines.append("## Medians")
    lines.append("")
    lines.append("| path | " + " | ".join(m[1] for m in METRICS) + " |")
    lines.append("|---|" + "---|" * len(METRICS))
    for path in PATHS:
        lines.append("| %s | " % path + " | ".join(fmt(median(values, path, m[0]), 3)
                                                   for m in METRICS) + " |")
    lines.append("")
    if charted:
        lines.append("![ratios to direct](%s)" % os.path.basename(args.chart))
        lines.append("")
    lines.append("## Every repetition")
    lines.append("")
    lines.append("| path | metric | " + " | ".join("rep %s" % r for r in sorted(
        {r for vs in values.values() for r, _ in vs})) + " |")
    reps = sorted({r for vs in values.values() for r, _ in vs})
    lines.append("|---|---|" + "---|" * len(reps))
    for path in PATHS:
        for metric, _, _, _ in METRICS:
            got = dict(values.get((path, metric), []))
            if not got:
                continue
            lines.append("| %s | %s | " % (path, metric) + " | ".join(
                fmt(got.get(r), 3) for r in reps) + " |")
    # A loopback run keeps the WAN section of the last WAN run and the idle figures.
    for kept in (wan_section_of(args.out), section_of(args.out, IDLE_BEGIN, IDLE_END)):
        if kept:
            lines += ["", kept]
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
