#!/usr/bin/env python3
"""TLS server for the filter tests, built on python's ssl module.

usage: tls_peer.py MODE CERT KEY
  echo     echo application data; report how the client ended the session
  burst N  send N bytes after the handshake, then behave like echo
  notify   send "bye", then a close notify, then keep TCP open a while
  garbage  no TLS at all: answer with bytes that are no TLS record
Prints "ready PORT" once listening on 127.0.0.1, then one line per event.
"""
import socket
import ssl
import sys
import time


def say(text):
    print(text, flush=True)


def serve_tls(conn, mode, arg):
    if mode == "burst":
        conn.sendall(bytes((i * 7 + 1) & 0xFF for i in range(arg)))
    if mode == "notify":
        conn.sendall(b"bye")
        raw = conn.unwrap()
        say("sent-notify")
        time.sleep(1.0)
        raw.close()
        return
    while True:
        try:
            data = conn.recv(65536)
        except (ssl.SSLEOFError, ConnectionResetError, ssl.SSLError):
            say("ragged")
            return
        if not data:
            say("notify")
            return
        conn.sendall(data)


def main():
    mode, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
    arg = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    sni = {}

    def on_sni(sslobj, name, ctx):
        sni["name"] = name

    context.sni_callback = on_sni
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    say("ready %d" % listener.getsockname()[1])
    while True:
        raw, _ = listener.accept()
        raw.settimeout(10)
        if mode == "garbage":
            try:
                raw.recv(4096)
                raw.sendall(b"\x17\x03\x03\xff\xffnot a tls record at all" * 20)
                time.sleep(0.5)
            except OSError:
                pass
            raw.close()
            say("garbage-sent")
            continue
        try:
            conn = context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError):
            say("handshake-failed")
            raw.close()
            continue
        say("handshake " + (sni.pop("name", None) or "-"))
        serve_tls(conn, mode, arg)
        try:
            conn.close()
        except OSError:
            pass


if __name__ == "__main__":
    main()
