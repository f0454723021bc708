#!/usr/bin/env python3
"""Measurement clients for bench/compare: each prints one JSON object.

  measure.py pingpong HOST PORT COUNT        64-byte round trips: p50/p99 in us
  measure.py connrate HOST PORT SECONDS      connect, 1 byte echoed, close: per s
  measure.py udp HOST PORT SECONDS           1200-byte datagram echo: rate, loss
  measure.py hold HOST PORT COUNT SECONDS    hold COUNT idle echo connections
  measure.py cpu PID...                      CPU seconds, VmRSS and Pss (KiB) of the
                                             processes and all their descendants
  measure.py shortconn HOST PORT COUNT       connect, 1 byte echoed, close, one at a time:
                                             median and each time in ms
  measure.py udpflow HOST PORT MBIT SECONDS  numbered 1200-byte datagrams paced at MBIT
                                             through an echo: loss of what came back
  measure.py gap HOST PORT ADMIN             echoes every 10 ms on one connection, takes the
                                             lab switch carrying it down (admin port), then
                                             up again: ms from the kill to the next echo
  measure.py nonreader HOST PORT PID SECONDS opens a download and never reads it: growth
                                             of the resident memory of PID (KiB)
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


def shortconn(host, port, count):
    times = []
    failed = 0
    for _ in range(count):
        t0 = time.perf_counter()
        try:
            s = socket.create_connection((host, port), timeout=10)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(b"x")
            if s.recv(1) == b"x":
                times.append((time.perf_counter() - t0) * 1000.0)
            else:
                failed += 1
            s.close()
        except OSError:
            failed += 1
        time.sleep(0.05)
    times.sort()
    return {"p50_ms": times[len(times) // 2] if times else None, "ms": times, "failed": failed}


def udpflow(host, port, mbit, seconds):
    """Paced, not windowed: the sender keeps the rate whatever comes back, as
    a media stream would; a datagram not back 1 s after the end is lost."""
    size = 1200
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    s.setblocking(False)
    s.connect((host, port))
    interval = size * 8 / (mbit * 1e6)
    pad = b"u" * (size - 8)
    sent = 0
    seen = set()
    start = time.monotonic()
    end = start + seconds

    def drain():
        while True:
            try:
                data = s.recv(2048)
            except (BlockingIOError, ConnectionRefusedError):
                return
            if len(data) >= 8:
                seen.add(int.from_bytes(data[:8], "big"))

    while True:
        now = time.monotonic()
        if now >= end:
            break
        due = min(int((now - start) / interval) + 1, int(seconds / interval))
        while sent < due:
            try:
                s.send(sent.to_bytes(8, "big") + pad)
            except BlockingIOError:
                break  # our own socket is full: count it as sent and lost
            except ConnectionRefusedError:
                pass
            sent += 1
        select.select([s], [], [], 0.001)
        drain()
    drain_end = time.monotonic() + 1.0
    while time.monotonic() < drain_end and len(seen) < sent:
        select.select([s], [], [], 0.05)
        drain()
    received = len(seen)
    return {"sent": sent, "received": received, "mbit": mbit,
            "loss": (sent - received) / sent if sent else 1.0}


def _admin(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as a:
        a.sendall((line + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = a.recv(4096)
            if not chunk:
                break
            data += chunk
    return data.decode(errors="replace").strip()


def gap(host, port, admin_port):
    s = socket.create_connection((host, port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.settimeout(60)

    def echo():
        s.sendall(b"g")
        if s.recv(1) != b"g":
            raise SystemExit("echo broken")

    for _ in range(3):
        echo()
    killed = time.monotonic()
    answer = _admin(admin_port, "down bound")
    if not answer.startswith("ok down"):
        return {"gap_ms": None, "error": answer}
    try:
        echo()  # waits for the failover: the switch closed before it answered
        gap_ms = (time.monotonic() - killed) * 1000.0
        for _ in range(5):
            echo()  # and the connection goes on
    finally:
        for name in answer.split()[2:]:
            _admin(admin_port, "up " + name)
    s.close()
    return {"gap_ms": gap_ms, "switches": answer.split()[2:]}


def nonreader(host, port, pid, seconds):
    def rss():
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    before = peak = rss()
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.connect((host, port))
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        peak = max(peak, rss())
        time.sleep(0.1)
    s.close()
    return {"before_kib": before, "peak_kib": peak, "growth_kib": peak - before}


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
    elif mode == "shortconn":
        out = shortconn(argv[2], int(argv[3]), int(argv[4]))
    elif mode == "udpflow":
        out = udpflow(argv[2], int(argv[3]), float(argv[4]), float(argv[5]))
    elif mode == "gap":
        out = gap(argv[2], int(argv[3]), int(argv[4]))
    elif mode == "nonreader":
        out = nonreader(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    if out is not None:
        print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
