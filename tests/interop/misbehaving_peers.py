#!/usr/bin/python3
"""Peers that misbehave, for the Windows build's client under Wine.

  silent  accepts, reads nothing and never answers; each connection is held
          until the client closes it (or 60 s pass)
  reset   accepts and at once resets the connection (SO_LINGER 0)

Both listen on free loopback ports, written as "silent_port=N" and
"reset_port=M" lines to PORTS_FILE once they listen. Runs until SIGTERM.

Usage: misbehaving_peers.py PORTS_FILE
"""
import os
import socket
import struct
import sys
import threading


def listener():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    return s


def hold(conn):
    conn.settimeout(60)
    try:
        while conn.recv(65536):
            pass  # a client's bytes are taken and dropped; nothing goes back
    except OSError:
        pass
    conn.close()


def serve_silent(s):
    while True:
        conn, _ = s.accept()
        threading.Thread(target=hold, args=(conn,), daemon=True).start()


def serve_reset(s):
    while True:
        conn, _ = s.accept()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()


def main():
    silent, reset = listener(), listener()
    threading.Thread(target=serve_silent, args=(silent,), daemon=True).start()
    threading.Thread(target=serve_reset, args=(reset,), daemon=True).start()
    path = sys.argv[1]
    with open(path + ".part", "w") as f:
        f.write("silent_port=%d\nreset_port=%d\n" % (silent.getsockname()[1], reset.getsockname()[1]))
    os.rename(path + ".part", path)
    threading.Event().wait()


if __name__ == "__main__":
    main()
