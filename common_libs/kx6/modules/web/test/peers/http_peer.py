#!/usr/bin/env python3
"""HTTP/1.1 server for the client tests, built on python's http.server.

usage: http_peer.py [--tls CERT KEY]
Prints "ready PORT" once listening on 127.0.0.1. Every answer carries
"X-Conn: <client port>" where the handler writes the head itself, so tests
can tell whether a connection was reused. Paths shape the answer; the raw_*
ones write bytes directly to break the usual framing on purpose.
"""
import http.server
import socketserver
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _query(self):
        return urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query)

    def _send(self, status, body=b"", headers=None, length=True):
        self.send_response(status)
        self.send_header("X-Conn", str(self.client_address[1]))
        for name, value in (headers or []):
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _raw(self, data, close=True):
        self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = close

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        n = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(n) if n > 0 else b""
        self._send(200, body, [("X-Method", self.command),
                               ("X-Got-Length", self.headers.get("Content-Length", "-"))])

    def do_GET(self):
        path = urllib.parse.urlparse(self.path).path
        q = self._query()
        n = int(q.get("n", ["0"])[0])
        if path == "/hello":
            self._send(200, b"hello")
        elif path == "/head":
            self.send_response(200)
            self.send_header("Content-Length", "10")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(b"0123456789")
        elif path == "/204":
            self._send(204, length=False)
        elif path == "/304":
            self._send(304, length=False)
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for piece in [b"chunk-one|", b"chunk-two|", b"x" * 30000]:
                self.wfile.write(b"%x; ext=1\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\nX-Trailer: t\r\n\r\n")
        elif path == "/big":
            self._send(200, bytes((i * 7 + 1) & 0xFF for i in range(n)))
        elif path == "/bigchunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            left = n
            while left > 0:
                k = min(left, 8192)
                self.wfile.write(b"%x\r\n%s\r\n" % (k, b"c" * k))
                left -= k
            self.wfile.write(b"0\r\n\r\n")
        elif path == "/cookie":
            self._send(200, b"ok", [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2")])
        elif path == "/redirect":
            self._send(302, b"", [("Location", "/hello")])
        elif path == "/error":
            self._send(500, b"broken")
        elif path == "/slow":
            time.sleep(int(q.get("ms", ["1500"])[0]) / 1000.0)
            self._send(200, b"slow")
        elif path == "/drop":
            # Looks kept alive, but the server closes right after answering.
            self._send(200, b"dropped")
            self.close_connection = True
        elif path == "/raw_http10":
            self._raw(b"HTTP/1.0 200 OK\r\nX-Old: yes\r\n\r\nold style body")
        elif path == "/raw_untilclose":
            self._raw(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + b"u" * 50000)
        elif path == "/raw_both":
            self._raw(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                      b"5\r\nhello\r\n0\r\n\r\n")
        elif path == "/raw_badchunk":
            self._raw(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n")
        elif path == "/raw_hugechunk":
            self._raw(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffff\r\nhello")
        elif path == "/raw_bighead":
            self._raw(b"HTTP/1.1 200 OK\r\nX-Big: " + b"h" * 70000 + b"\r\nContent-Length: 0\r\n\r\n")
        elif path == "/raw_midclose":
            self._raw(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
        elif path == "/raw_midchunk":
            self._raw(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n0123")
        elif path == "/raw_negative":
            self._raw(b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello")
        elif path == "/raw_garbage":
            self._raw(b"SSH-2.0-nonsense\r\n\r\n")
        elif path == "/raw_continue":
            self._raw(b"HTTP/1.1 100 Continue\r\n\r\n"
                      b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", close=False)
        else:
            self._send(404, b"no such path")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if len(sys.argv) >= 4 and sys.argv[1] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
