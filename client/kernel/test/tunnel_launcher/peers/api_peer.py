#!/usr/bin/env python3
"""Control-API stand-in for the launcher tests: enveloped JSON-RPC over HTTP(S).

usage: api_peer.py PASSPHRASE [--tls CERT KEY] [--bind HOST PORT]
Prints "ready PORT" once listening (127.0.0.1 and a free port unless bound
elsewhere), then one line per request:
"req MODE PATH TS NONCE". The first path segment picks the behaviour
(the tests put it in the API base URL); the rest is the API path.
"""
import hashlib
import http.server
import json
import socketserver
import ssl
import struct
import sys
import threading
import time

PASS = sys.argv[1]
DELTA = 0x9E3779B9
MASK = 0xFFFFFFFF
SKEW = 120  # the server clock runs this far ahead in the "skew" modes


def key16(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()[8:24].encode("ascii")


def tea_encrypt(data, key):
    if not data:
        return b""
    k = struct.unpack("<4I", key)
    pad = (8 - len(data) % 8) % 8
    data = data + b"-" * pad
    out = bytearray()
    for i in range(0, len(data), 8):
        y, z = struct.unpack("<2I", data[i:i + 8])
        s = 0
        for _ in range(16):
            s = (s + DELTA) & MASK
            y = (y + ((((z << 4) + k[0]) & MASK) ^ ((z + s) & MASK) ^ (((z >> 5) + k[1]) & MASK))) & MASK
            z = (z + ((((y << 4) + k[2]) & MASK) ^ ((y + s) & MASK) ^ (((y >> 5) + k[3]) & MASK))) & MASK
        out += struct.pack("<2I", y, z)
    return bytes(out) + bytes([pad])


def tea_decrypt(data, key):
    if not data:
        return b""
    pad = data[-1]
    body = data[:-1]
    if len(body) % 8 or pad > 127 or pad > len(body):
        return None
    k = struct.unpack("<4I", key)
    out = bytearray()
    for i in range(0, len(body), 8):
        y, z = struct.unpack("<2I", body[i:i + 8])
        s = (DELTA * 16) & MASK
        for _ in range(16):
            z = (z - ((((y << 4) + k[2]) & MASK) ^ ((y + s) & MASK) ^ (((y >> 5) + k[3]) & MASK))) & MASK
            y = (y - ((((z << 4) + k[0]) & MASK) ^ ((z + s) & MASK) ^ (((z >> 5) + k[1]) & MASK))) & MASK
            s = (s - DELTA) & MASK
        out += struct.pack("<2I", y, z)
    return bytes(out[:len(out) - pad])


LOCK = threading.Lock()
TOKENS = set()
COUNTER = [0]


def rpc_result(mode, path, method, params):
    """(result, error) for one call."""
    token = params.get("token", "")
    if path == "/util" and method == "ping":
        return {}, None
    if path == "/account" and method == "create":
        if not params.get("access_id") or not isinstance(params.get("marks"), dict):
            return None, (-32602, "bad params")
        if mode == "nulltoken":
            return None, None
        with LOCK:
            COUNTER[0] += 1
            new = "tok-%d" % COUNTER[0]
            TOKENS.add(new)
        return {"token": new}, None
    if path == "/account" and method == "update":
        if mode == "fail7":
            return None, (7, "database busy")
        with LOCK:
            known = token in TOKENS
        return ({}, None) if known else (None, (101, "token rejected"))
    if path == "/instance" and method == "enum_targets":
        with LOCK:
            known = token in TOKENS
        if not known:
            return None, (101, "token rejected")
        if mode == "notargets":
            return {"targets": []}, None
        if mode == "arrayresult":
            return [1, 2], None
        return {"targets": [{"id": 7, "client_ip": "127.0.0.1", "nodes": [], "forwards": []},
                            {"id": 8}]}, None
    return None, (-32601, "no such method")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        parts = self.path.split("/", 2)
        mode = parts[1] if len(parts) > 1 else ""
        path = "/" + (parts[2] if len(parts) > 2 else "")
        n = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(n) if n > 0 else b""
        nonce = self.headers.get("X-Ca-Nonce", "")
        stamp = self.headers.get("X-Ca-Timestamp", "")
        encrypted = self.headers.get("Content-Encoding", "") == "encrypt"
        print("req %s %s %s %s" % (mode, path, stamp or "-", nonce or "-"), flush=True)

        # Answer-level faults spare the "/util" ping (so the host race still
        # picks this server) unless the mode is written "all-<fault>".
        if mode.startswith("all-"):
            mode = mode[4:]
        elif path == "/util" and mode not in ("skew", "skewalways"):
            mode = "ok"
        now = int(time.time())
        if mode in ("skew", "skewalways"):
            server_now = now + SKEW
            off = abs(int(stamp or "0") - server_now)
            if mode == "skewalways" or off > 5:
                self._answer(316, b"", [("X-Ca-Timestamp-Reset", str(server_now))])
                return
        if mode == "s502":
            self._answer(502, b"bad gateway")
            return
        if mode == "slow":
            time.sleep(1.5)
        if mode == "hold":
            time.sleep(8)
        if mode == "hugebody":
            self.send_response(200)
            self.send_header("Content-Length", str(64 * 1024 * 1024))
            self.end_headers()
            self.wfile.write(b"x" * 65536)
            return
        if mode == "html":
            self._answer(200, b"<html><body>hello</body></html>")
            return

        text = tea_decrypt(raw, key16(PASS + nonce + stamp)) if encrypted else raw
        try:
            request = json.loads(text.decode("utf-8"))
        except Exception:
            self._answer(400, b"undecipherable request")
            return
        result, error = rpc_result(mode, path, request.get("method"), request.get("params", {}))
        reply = {"jsonrpc": "2.0", "id": request.get("id")}
        if error:
            reply["error"] = {"code": error[0], "message": error[1]}
        else:
            reply["result"] = result
        if mode == "badid":
            reply["id"] = -5
        body = json.dumps(reply).encode("utf-8")
        if mode == "clear":
            self._answer(200, body, [("Content-Type", "application/json")])
            return
        answer_stamp = str(now)
        answer_nonce = nonce
        if mode == "badnonce":
            answer_nonce = "0" * 16
        if mode == "garbage":
            body = b"\x01\x02\x03 not json at all"
        cipher = tea_encrypt(body, key16(PASS + answer_nonce + answer_stamp))
        if mode == "badcipher":
            cipher = cipher[:-3]
        self._answer(200, cipher, [("Content-Encoding", "encrypt"), ("X-Ca-Nonce", answer_nonce),
                                   ("X-Ca-Timestamp", answer_stamp)])


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # the race's connect probes hang up on purpose


def main():
    args = sys.argv[2:]
    bind = ("127.0.0.1", 0)
    if "--bind" in args:
        at = args.index("--bind")
        bind = (args[at + 1], int(args[at + 2]))
    server = Server(bind, Handler)
    if "--tls" in args:
        at = args.index("--tls")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args[at + 1], args[at + 2])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
