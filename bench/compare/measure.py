#!/usr/bin/env python3
"""Measurement clients for bench/compare: each prints one JSON object.

  measure.py pingpong HOST PORT COUNT        64-byte round trips: p50/p99 in us
  measure.py connrate HOST PORT SECONDS      connect, 1 byte echoed, close: per s
  measure.py udp HOST PORT SECONDS           1200-byte datagram echo: rate, loss
  measure.py hold HOST PORT COUNT SECONDS    hold COUNT idle echo connections
  measure.py cpu PID...                      CPU seconds, VmRSS and Pss (KiB) of the
                                             processes and all their descendants
"""
import json
import os
import select
import socket
import sys
import time


def pingpong(host, port, count):
    s = socket.create_connection((host, port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    msg = b"p" * 64
    samples = []
    for i in range(count + count // 10):
        t0 = time.perf_counter_ns()
        s.sendall(msg)
        got = 0
        while got < 64:
            chunk = s.recv(64 - got)
            if not chunk:
                raise SystemExit("connection closed during ping-pong")
            got += len(chunk)
        if i >= count // 10:  # the first tenth warms up
            samples.append((time.perf_counter_ns() - t0) / 1000.0)
    s.close()
    samples.sort()
    return {"p50_us": samples[len(samples) // 2],
            "p99_us": samples[min(len(samples) - 1, int(len(samples) * 0.99))],
            "count": len(samples)}


def connrate(host, port, seconds):
    end = time.monotonic() + seconds
    done = failed = 0
    while time.monotonic() < end:
        try:
            s = socket.create_connection((host, port), timeout=5)
            s.sendall(b"x")
            if s.recv(1) == b"x":
                done += 1
            else:
                failed += 1
            s.close()
        except (OSError, ValueError):
            failed += 1
    return {"per_s": done / seconds, "failed": failed}


def udp(host, port, seconds):
    # Keeps at most 32 datagrams in flight so that loss measures the path,
    # not our own socket buffers.
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setblocking(False)
    s.connect((host, port))
    payload = b"u" * 1200
    sent = received = 0
    in_flight = 0
    end = time.monotonic() + seconds
    last_progress = time.monotonic()
    while time.monotonic() < end:
        while in_flight < 32:
            try:
                s.send(payload)
            except BlockingIOError:
                break
            except ConnectionRefusedError:
                continue  # an earlier datagram found no listener; count on
            sent += 1
            in_flight += 1
        r, _, _ = select.select([s], [], [], 0.05)
        if r:
            while True:
                try:
                    s.recv(2048)
                except (BlockingIOError, ConnectionRefusedError):
                    break
                received += 1
                in_flight -= 1
                last_progress = time.monotonic()
        elif time.monotonic() - last_progress > 0.05:
            in_flight = 0  # what is still out counts as lost
    drain_end = time.monotonic() + 0.3
    while time.monotonic() < drain_end:
        r, _, _ = select.select([s], [], [], 0.05)
        if not r:
            continue
        try:
            s.recv(2048)
            received += 1
        except (BlockingIOError, ConnectionRefusedError):
            pass
    return {"per_s": received / seconds, "sent": sent, "received": received,
            "loss": (sent - received) / sent if sent else 1.0}


def hold(host, port, count, seconds):
    conns = []
    for _ in range(count):
        s = socket.create_connection((host, port), timeout=10)
        s.sendall(b"h")
        conns.append(s)
    for s in conns:
        s.recv(1)
    print(json.dumps({"held": len(conns)}), flush=True)
    time.sleep(seconds)
    for s in conns:
        s.close()
    return None


def _tree(roots):
    """The roots and every live descendant."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = f.read().rsplit(")", 1)[1].split()[1]
        except OSError:
            continue
        children.setdefault(ppid, []).append(entry)
    out, todo = [], [str(p) for p in roots]
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def cpu(pids):
    # Reaped children are in their parent's cutime/cstime, live ones in
    # their own fields: each CPU second is counted once.
    tick = os.sysconf("SC_CLK_TCK")
    total = 0.0
    rss = pss = 0
    for pid in _tree(pids):
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += sum(int(x) for x in fields[11:15]) / tick
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        rss += int(line.split()[1])
            # Pss splits the pages a forked child shares with its parent.
            with open("/proc/%s/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        pss += int(line.split()[1])
                        break
        except OSError:
            pass
    return {"cpu_s": total, "rss_kib": rss, "pss_kib": pss}


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    mode = argv[1]
    if mode == "pingpong":
        out = pingpong(argv[2], int(argv[3]), int(argv[4]))
    elif mode == "connrate":
        out = connrate(argv[2], int(argv[3]), float(argv[4]))
    elif mode == "udp":
        out = udp(argv[2], int(argv[3]), float(argv[4]))
    elif mode == "hold":
        out = hold(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    elif mode == "cpu":
        out = cpu(argv[2:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    if out is not None:
        print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
