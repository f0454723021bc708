#!/usr/bin/env python3
"""Soak checks against a running lab and korvane-tunnel (loopback only).

Every check prints one PASS or FAIL line and exits 0 only on PASS. All loops
are bounded by a wall-clock deadline.
"""
import argparse
import hashlib
import os
import random
import selectors
import socket
import struct
import sys
import threading
import time

HOST = "127.0.0.1"


def admin(port, line, timeout=5.0):
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall((line + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    return data.decode(errors="replace").strip()


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return -1


def echo_once(port, size=65536, timeout=10.0):
    """One fresh connection echoes `size` bytes intact."""
    payload = os.urandom(size)
    try:
        with socket.create_connection((HOST, port), timeout=timeout) as s:
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            got = bytearray()
            while len(got) < size:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        return bytes(got) == payload
    except OSError:
        return False


def result(ok, text):
    print(("PASS: " if ok else "FAIL: ") + text, flush=True)
    return 0 if ok else 1


# -- 100 failovers during one long transfer ---------------------------------

def cmd_failover(a):
    deadline = time.monotonic() + a.limit_s
    sock = socket.create_connection((HOST, a.port), timeout=30)
    sock.setblocking(False)
    sent_hash, recv_hash = hashlib.sha256(), hashlib.sha256()
    sent = received = 0
    rng = random.Random(20261209)
    done_failovers = 0
    stop_sending = threading.Event()
    errors = []

    def chaos():
        nonlocal done_failovers
        time.sleep(1.0)
        while done_failovers < a.failovers and time.monotonic() < deadline:
            answer = admin(a.admin, "down bound")
            if not answer.startswith("ok down"):
                time.sleep(0.3)  # nothing bound this instant; try again
                continue
            time.sleep(a.down_s)
            for name in answer.split()[2:]:
                up = admin(a.admin, "up " + name)
                if not up.startswith("ok"):
                    errors.append(up)
            done_failovers += 1
            time.sleep(a.up_s)
        stop_sending.set()

    t = threading.Thread(target=chaos, daemon=True)
    t.start()
    sel = selectors.DefaultSelector()
    sel.register(sock, selectors.EVENT_READ | selectors.EVENT_WRITE)
    chunk = b""
    write_closed = False
    while time.monotonic() < deadline:
        if stop_sending.is_set() and not write_closed and not chunk:
            sock.shutdown(socket.SHUT_WR)
            write_closed = True
            sel.modify(sock, selectors.EVENT_READ)
        if write_closed and received >= sent:
            break
        for key, ev in sel.select(0.2):
            if ev & selectors.EVENT_READ:
                try:
                    data = sock.recv(262144)
                except BlockingIOError:
                    data = None
                if data == b"":
                    write_closed = True
                    deadline = 0
                    break
                if data:
                    recv_hash.update(data)
                    received += len(data)
            if ev & selectors.EVENT_WRITE and not write_closed:
                # Keep at most 4 MiB in flight so the echo drains as it goes.
                if sent - received > 4 << 20:
                    continue
                if not chunk:
                    chunk = rng.randbytes(65536) if hasattr(rng, "randbytes") else os.urandom(65536)
                try:
                    n = sock.send(chunk)
                except BlockingIOError:
                    n = 0
                sent_hash.update(chunk[:n])
                sent += n
                chunk = chunk[n:]
    sock.close()
    t.join(timeout=5)
    ok = (done_failovers >= a.failovers and sent == received and
          sent_hash.hexdigest() == recv_hash.hexdigest() and not errors)
    return result(ok, "%d failovers, %d bytes sent, %d echoed, %d lost, sha256 %s%s" % (
        done_failovers, sent, received, sent - received,
        "equal" if sent_hash.hexdigest() == recv_hash.hexdigest() else "DIFFERENT",
        (", admin errors: " + "; ".join(errors[:3])) if errors else ""))


# -- 1,024 connections echoing, resident memory sampled ---------------------

def cmd_connections(a):
    sel = selectors.DefaultSelector()
    conns = []
    for i in range(a.count):
        s = socket.create_connection((HOST, a.port), timeout=30)
        s.setblocking(False)
        st = {"sock": s, "out": 0, "in": 0, "seed": i}
        conns.append(st)
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, st)
    msg = lambda st: (b"%08d:" % st["seed"]) * 128  # 1152 bytes, per connection
    start = time.monotonic()
    end = start + a.seconds
    next_sample = start
    samples = []
    bad = 0
    while time.monotonic() < end:
        now = time.monotonic()
        if now >= next_sample:
            samples.append((int(now - start), rss_kib(a.pid), rss_kib(a.lab_pid) if a.lab_pid else -1))
            print("   t=%4ds tunnel rss %d KiB, lab rss %d KiB" % samples[-1], flush=True)
            next_sample += 10
        for key, ev in sel.select(0.1):
            st = key.data
            if ev & selectors.EVENT_READ:
                try:
                    data = st["sock"].recv(65536)
                except (BlockingIOError, ConnectionError):
                    data = None
                if data == b"":
                    bad += 1
                    sel.unregister(st["sock"])
                    continue
                if data:
                    expect = msg(st)
                    if data != (expect * (len(data) // len(expect) + 2))[st["in"] % len(expect):][:len(data)]:
                        bad += 1
                    st["in"] += len(data)
            if ev & selectors.EVENT_WRITE and st["out"] - st["in"] < 4 * len(msg(st)):
                try:
                    st["out"] += st["sock"].send(msg(st)[st["out"] % len(msg(st)):])
                except (BlockingIOError, ConnectionError):
                    pass
            # Pace: each connection keeps only a few messages in flight.
    total = sum(st["in"] for st in conns)
    for st in conns:
        st["sock"].close()
    warm = [s for s in samples if s[0] >= min(60, a.seconds // 2)] or samples
    growth = warm[-1][1] - warm[0][1] if warm else 0
    flat = growth <= max(8192, warm[0][1] // 5) if warm else False
    return result(bad == 0 and flat and total > 0,
                  "%d connections for %d s, %d bytes echoed, %d broken, tunnel rss %d -> %d KiB "
                  "(growth after warm-up %d KiB)" % (a.count, a.seconds, total, bad,
                                                     samples[0][1], samples[-1][1], growth))


# -- hostile probes ----------------------------------------------------------

VIOLATION = b"the switch sent beyond its window, reset"


def tunnel_log_dir(pid):
    """The --log-dir of the running korvane-tunnel, from its command line."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().split(b"\0")
    except OSError:
        return None
    for i, arg in enumerate(args[:-1]):
        if arg == b"--log-dir":
            return args[i + 1].decode()
    return None


def find_in_logs(directory, text):
    """(lines, streams): the most lines holding `text` in any one log file
    under `directory` (each line lands in several files), and the set of
    "stream N" numbers they name."""
    most, streams = 0, set()
    for root, _, files in os.walk(directory or "/nonexistent"):
        for name in files:
            try:
                with open(os.path.join(root, name), "rb") as f:
                    lines = [line for line in f if text in line]
            except OSError:
                continue
            most = max(most, len(lines))
            for line in lines:
                words = line.split(b"stream ", 1)[-1].split(b":", 1)
                streams.add(words[0].strip())
    return most, streams


def count_in_logs(directory, text):
    return find_in_logs(directory, text)[0]


def switches_of(admin_port):
    # "ok a=up/1 b=up/0": every switch, so the fault is on whichever carries the tunnel.
    answer = admin(admin_port, "status")
    return [item.split("=", 1)[0] for item in answer.split()[1:] if "=" in item]


def probe_switch_ignores_window(a):
    # Every switch relays the echo back without waiting for the SDK's grants,
    # while the application writes and never reads. The SDK must reset the
    # stream with its reason logged instead of buffering what it was not
    # granted: its resident memory stays within a small bound.
    log_dir = a.log_dir or tunnel_log_dir(a.pid)
    if not log_dir:
        return result(False, "switch ignoring the window: no log directory of korvane-tunnel")
    names = switches_of(a.admin) or [a.switch]
    for name in names:
        answer = admin(a.admin, "fault %s ignore_window" % name)
        if not answer.startswith("ok"):
            return result(False, "switch ignoring the window: lab refused the fault (%s)" % answer)
    logged_before, streams_before = find_in_logs(log_dir, VIOLATION)
    before = peak = rss_kib(a.pid)
    offered = 0
    reset = False
    start = time.monotonic()
    try:
        s = socket.create_connection((HOST, a.port), timeout=5)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        s.setblocking(False)
        block = os.urandom(1 << 20)
        deadline = start + a.flood_s
        last_progress = start
        while offered < a.flood_mib << 20 and time.monotonic() < deadline:
            peak = max(peak, rss_kib(a.pid))
            try:
                n = s.send(block)
                offered += n
                last_progress = time.monotonic()
            except BlockingIOError:
                # Stalled with no reset: either the SDK holds it all back or
                # it is done with the stream; the log decides below.
                if count_in_logs(log_dir, VIOLATION) > logged_before and \
                        time.monotonic() - last_progress > 1:
                    break
                if time.monotonic() - last_progress > 10:
                    break
                time.sleep(0.02)
            except OSError:
                reset = True  # the SDK reset the stream
                break
        s.close()
        # Give the log a moment to reach the file.
        logged_until = time.monotonic() + 5
        while count_in_logs(log_dir, VIOLATION) <= logged_before and time.monotonic() < logged_until:
            time.sleep(0.1)
        peak = max(peak, rss_kib(a.pid))
    finally:
        for name in names:
            admin(a.admin, "fault %s none" % name)
    logged_after, streams_after = find_in_logs(log_dir, VIOLATION)
    logged, streams = logged_after - logged_before, streams_after - streams_before
    growth = peak - before
    alive = echo_once(a.port)
    ok = len(streams) == 1 and growth < a.rss_bound_mib * 1024 and alive
    return result(ok, "switch ignoring the window: %.1f MiB offered by a non-reading application in "
                  "%.1f s, stream %s, reason logged for %d stream(s) in %d line(s), tunnel rss %d KiB, "
                  "peak growth %d KiB (bound %d MiB), fresh echo %s" % (
                      offered / 1048576.0, time.monotonic() - start,
                      "reset" if reset else "stalled", len(streams), logged, before, growth,
                      a.rss_bound_mib, "ok" if alive else "BROKEN"))


def probe_client_ignores_window(a):
    # The application writes without ever reading: back-pressure must reach it
    # instead of memory growing in the SDK or the lab.
    before_t, before_l = rss_kib(a.pid), rss_kib(a.lab_pid)
    s = socket.create_connection((HOST, a.port), timeout=5)
    s.setblocking(False)
    pushed = 0
    stall_since = None
    deadline = time.monotonic() + 30
    block = b"w" * 65536
    while time.monotonic() < deadline:
        try:
            pushed += s.send(block)
            stall_since = None
        except BlockingIOError:
            stall_since = stall_since or time.monotonic()
            if time.monotonic() - stall_since > 3:
                break
            time.sleep(0.05)
    growth_t, growth_l = rss_kib(a.pid) - before_t, rss_kib(a.lab_pid) - before_l
    s.close()
    alive = echo_once(a.port)
    ok = stall_since is not None and growth_t < 96 * 1024 and growth_l < 96 * 1024 and alive
    return result(ok, "client ignoring the window: %d bytes accepted before the writer stalled%s, "
                  "rss growth tunnel %d KiB lab %d KiB, fresh echo %s" % (
                      pushed, "" if stall_since else " (NEVER STALLED)", growth_t, growth_l,
                      "ok" if alive else "BROKEN"))


def probe_streams_leave(a):
    # 11,000 streams open at once, then all leave: the tunnel must let go of
    # every one of them and keep serving.
    base, lab_base = fd_count(a.pid), fd_count(a.lab_pid)
    socks = []
    refused = 0
    deadline = time.monotonic() + 120
    for _ in range(a.streams):
        if time.monotonic() > deadline:
            break
        try:
            socks.append(socket.create_connection((HOST, a.port), timeout=5))
        except OSError:
            refused += 1
    peak, lab_peak = fd_count(a.pid), fd_count(a.lab_pid)
    for s in socks:
        s.close()
    settle = time.monotonic() + 30
    while time.monotonic() < settle and (fd_count(a.pid) > base + 16 or
                                         fd_count(a.lab_pid) > lab_base + 16):
        time.sleep(0.5)
    after, lab_after = fd_count(a.pid), fd_count(a.lab_pid)
    alive = echo_once(a.port)
    ok = after <= base + 16 and lab_after <= lab_base + 16 and alive
    return result(ok, "%d streams opened (%d refused), tunnel fds %d -> %d -> %d, lab fds %d -> %d -> %d, "
                  "fresh echo %s" % (len(socks), refused, base, peak, after, lab_base, lab_peak,
                                     lab_after, "ok" if alive else "BROKEN"))


def probe_backpressured_close(a):
    # The application writes without reading until everything backs up (the
    # echo back end blocked writing, bytes queued towards it in the switch),
    # then closes. The lab must let go of the relay stream and the back-end
    # connection within its close limit (5 s, then an abort), not keep them.
    lab_base = fd_count(a.lab_pid)
    s = socket.create_connection((HOST, a.port), timeout=10)
    s.setblocking(False)
    pushed = 0
    stall_since = None
    deadline = time.monotonic() + 30
    block = os.urandom(65536)
    while time.monotonic() < deadline:
        try:
            pushed += s.send(block)
            stall_since = None
        except BlockingIOError:
            stall_since = stall_since or time.monotonic()
            if time.monotonic() - stall_since > 2:
                break
            time.sleep(0.05)
    lab_peak = fd_count(a.lab_pid)
    s.close()
    closed_at = time.monotonic()
    settle = closed_at + 20
    while time.monotonic() < settle and fd_count(a.lab_pid) > lab_base:
        time.sleep(0.2)
    lab_after = fd_count(a.lab_pid)
    took = time.monotonic() - closed_at
    alive = echo_once(a.port)
    ok = stall_since is not None and lab_after <= lab_base and alive
    return result(ok, "back-pressured close: %d bytes pushed before the writer stalled%s, lab fds %d -> %d "
                  "-> %d (%.1f s after the close), fresh echo %s" % (
                      pushed, "" if stall_since else " (NEVER STALLED)", lab_base, lab_peak,
                      lab_after, took, "ok" if alive else "BROKEN"))


def probe_slow_prelogin(a):
    # 40 connections to a switch that never finish (or dribble) a login must
    # not keep a real client out.
    host, port = a.switch_addr.rsplit(":", 1)
    slow = []
    for i in range(40):
        try:
            s = socket.create_connection((host, int(port)), timeout=5)
            if i % 2:
                s.sendall(b"\x40\x00")  # the start of a size header, then nothing
            slow.append(s)
        except OSError:
            pass
    start = time.monotonic()
    alive = echo_once(a.port, timeout=20)
    elapsed = time.monotonic() - start
    # The switch should also let go of them in time; count the ones it closed.
    closed = 0
    deadline = time.monotonic() + a.idle_s
    for s in slow:
        s.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            if s.recv(1) == b"":
                closed += 1
        except ConnectionResetError:
            closed += 1  # the login time-out resets the connection
        except (socket.timeout, OSError):
            pass
        s.close()
    ok = alive and len(slow) == 40 and closed == len(slow)
    return result(ok, "40 slow pre-login connections: %d held, echo %s in %.1f s, %d closed or reset by "
                  "the switch within %d s (login limit 10 s)" % (
                      len(slow), "ok" if alive else "BROKEN", elapsed, closed, a.idle_s))


def probe_half_close(a):
    # 100,000 bytes, then the write side closes: the echo must come back in
    # full, followed by the end of the stream. The tunnel has no half-close,
    # so the switch's stream stays open and the SDK ends the application's
    # 60 s after the last answer arrived.
    payload = os.urandom(100000)
    s = socket.create_connection((HOST, a.port), timeout=10)
    s.sendall(payload)
    s.shutdown(socket.SHUT_WR)
    got = bytearray()
    eof = False
    last_data = time.monotonic()
    s.settimeout(a.half_close_s + 15)
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                eof = True
                break
            got += chunk
            last_data = time.monotonic()
    except socket.timeout:
        pass
    quiet = time.monotonic() - last_data
    s.close()
    ok = bytes(got) == payload and eof
    return result(ok, "half-close: %d of 100000 bytes echoed, end of stream %s %.1f s after the last "
                  "answer (limit %d s)" % (len(got), "seen" if eof else "MISSING", quiet,
                                            a.half_close_s))


# -- a raw protocol client speaking to a lab switch directly -----------------

def _frame(kind, body):
    return struct.pack("<I", 6 + len(body)) + bytes([1, kind]) + body


def _message(items):
    body = b""
    for k, v in items.items():
        v = v if isinstance(v, bytes) else str(v).encode()
        body += k.encode() + b"\0" + struct.pack("<I", len(v)) + v
    return _frame(1, body)


def _read_frame(sock):
    head = _read_exact(sock, 4)
    (total,) = struct.unpack("<I", head)
    return _read_exact(sock, total - 4)


def _read_exact(sock, n):
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise ConnectionError("closed")
        out += chunk
    return out


def _decode(payload):
    items, i = {}, 2
    while i < len(payload):
        z = payload.index(b"\0", i)
        (n,) = struct.unpack("<I", payload[z + 1:z + 5])
        items[payload[i:z].decode()] = payload[z + 5:z + 5 + n]
        i = z + 5 + n
    return items


def _call(sock, method, **params):
    params.update({"@": "call", "method": method})
    sock.sendall(_message(params))
    while True:
        payload = _read_frame(sock)
        if payload[1:2] == b"\x01":
            m = _decode(payload)
            if m.get("@") == b"return":
                if "error_code" in m:
                    raise RuntimeError("%s: %s %s" % (method, m["error_code"], m.get("error_msg")))
                return m


def _login(addr, key, token, version="1.0.0"):
    host, port = addr.rsplit(":", 1)
    s = socket.create_connection((host, int(port)), timeout=10)
    md5 = lambda t: hashlib.md5(t.encode()).hexdigest()
    zero_id = _call(s, "zero_make")["zero_id"].decode()
    access_id = md5(key)
    step = md5(access_id + key + token + "ios" + version + zero_id)
    step = hashlib.sha1(hashlib.sha256(step.encode()).hexdigest().encode()).hexdigest()
    _call(s, "zero_login", access_id=access_id, zero_key=md5(step), client_token=token,
          client_type="ios", client_version=version)
    return s


def probe_raw_client_ignores_window(a):
    # A logged-in client opens one stream and sends far beyond the window the
    # switch granted, never reading: the switch must bound what it holds
    # (ending the stream is fine), not pin the excess.
    before = rss_kib(a.lab_pid)
    try:
        s = _login(a.switch_addr, a.key, "soak-raw-token")
        _call(s, "tunnel_create", target_id=a.target)
    except (OSError, RuntimeError, ValueError) as e:
        return result(False, "raw client ignoring the window: login failed (%s)" % e)
    seq = 0

    def packet(cls, kind, channel, body):
        nonlocal seq
        p = bytes([cls, kind]) + struct.pack("<IH", seq, channel) + body
        seq += 1
        return _frame(2, p)

    s.sendall(packet(2, 1, 1, struct.pack("<H", a.port)))           # open, channel 1
    s.sendall(packet(2, 5, 1, struct.pack("<I", 131072)))           # our grant
    s.settimeout(3)
    block = os.urandom(16384)
    flood = 0
    deadline = time.monotonic() + 60
    try:
        while flood < (256 << 20) and time.monotonic() < deadline:
            s.sendall(packet(2, 4, 1, struct.pack("<H", len(block)) + block))
            flood += len(block)
    except (socket.timeout, OSError):
        pass  # the switch stopped reading or closed: either bounds it
    time.sleep(1)
    growth = rss_kib(a.lab_pid) - before
    s.close()
    ok = growth < 64 * 1024
    return result(ok, "raw client ignoring the window: %d bytes pushed past a 131072-byte window, "
                  "lab rss growth %d KiB" % (flood, growth))


PROBES = {
    "raw-client-ignores-window": probe_raw_client_ignores_window,
    "switch-ignores-window": probe_switch_ignores_window,
    "client-ignores-window": probe_client_ignores_window,
    "streams-leave": probe_streams_leave,
    "backpressured-close": probe_backpressured_close,
    "slow-prelogin": probe_slow_prelogin,
    "half-close": probe_half_close,
}


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    f = sub.add_parser("failover")
    f.add_argument("--port", type=int, required=True)
    f.add_argument("--admin", type=int, required=True)
    f.add_argument("--failovers", type=int, default=100)
    f.add_argument("--down-s", type=float, default=1.5)
    f.add_argument("--up-s", type=float, default=1.0)
    f.add_argument("--limit-s", type=float, default=900)
    c = sub.add_parser("connections")
    c.add_argument("--port", type=int, required=True)
    c.add_argument("--pid", type=int, required=True)
    c.add_argument("--lab-pid", type=int, default=0)
    c.add_argument("--count", type=int, default=1024)
    c.add_argument("--seconds", type=int, default=600)
    r = sub.add_parser("probe")
    r.add_argument("name", choices=sorted(PROBES))
    r.add_argument("--port", type=int, required=True)
    r.add_argument("--admin", type=int, required=True)
    r.add_argument("--pid", type=int, required=True)
    r.add_argument("--lab-pid", type=int, required=True)
    r.add_argument("--switch", default="")
    r.add_argument("--switch-addr", default="")
    r.add_argument("--streams", type=int, default=11000)
    r.add_argument("--idle-s", type=int, default=15)
    r.add_argument("--key", default="soak-access-key")
    r.add_argument("--target", type=int, default=1)
    r.add_argument("--log-dir", default="", help="korvane-tunnel's --log-dir (default: from its pid)")
    r.add_argument("--flood-mib", type=int, default=400)
    r.add_argument("--flood-s", type=int, default=120)
    r.add_argument("--rss-bound-mib", type=int, default=32)
    r.add_argument("--half-close-s", type=int, default=60, help="the SDK's wait for an answer")
    a = p.parse_args()
    if a.cmd == "failover":
        return cmd_failover(a)
    if a.cmd == "connections":
        return cmd_connections(a)
    return PROBES[a.name](a)


if __name__ == "__main__":
    sys.exit(main())
