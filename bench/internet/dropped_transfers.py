"""The internet run against a server that gives its transfers nothing to
count: how many connections the run opens a second for its transfers, and
how much CPU time it takes.

Two servers: `drop` (the default) answers every latency request but drops
every download and upload connection with a reset as soon as its request
head has arrived; `404` answers every request with "404 Not Found" (a base
URL with a wrong path), keeping the connection for requests without a body
and closing it after the reply to a POST, whose body it reads and drops.

Serves on 127.0.0.1 (a port the system chose), runs PROGRAM BASE_URL once
(a host that makes one internet run, e.g. internet_bench_host) and prints
one line per figure: the transfer connections, the span between the first
and the last, their rate, and the program's user + system CPU seconds.

Usage: /usr/bin/python3 dropped_transfers.py PROGRAM [drop|404]
"""

import resource
import socket
import struct
import subprocess
import sys
import threading
import time

LATENCY_PREFIX = b"GET /empty?t="
EMPTY_REPLY = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
NOT_FOUND_BODY = b"<html><head><title>404 Not Found</title></head></html>\r\n"
NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: %d\r\n" % len(NOT_FOUND_BODY)
LINGER_SECONDS = 2.0


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.dropped = []  # monotonic times

    def drop(self):
        with self.lock:
            self.dropped.append(time.monotonic())


def read_head(conn, pending):
    while b"\r\n\r\n" not in pending:
        data = conn.recv(65536)
        if not data:
            return None, b""
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
    return head, rest


def serve(conn, counts):
    """Answers latency requests on a kept-alive connection; anything else is
    dropped with a reset as soon as its head has arrived."""
    pending = b""
    with conn:
        while True:
            head, pending = read_head(conn, pending)
            if head is None:
                return
            if not head.startswith(LATENCY_PREFIX):
                counts.drop()
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            conn.sendall(EMPTY_REPLY)


def serve_not_found(conn, counts):
    """Answers 404 to everything. A connection counts once, at its first
    transfer request; a POST's reply closes it, after the body has been read
    and dropped (for at most LINGER_SECONDS), as a web server does."""
    pending = b""
    counted = False
    with conn:
        try:
            while True:
                head, pending = read_head(conn, pending)
                if head is None:
                    return
                if not head.startswith(LATENCY_PREFIX) and not counted:
                    counts.drop()
                    counted = True
                if b"content-length:" not in head.lower():
                    conn.sendall(NOT_FOUND + b"\r\n" + NOT_FOUND_BODY)
                    continue
                conn.sendall(NOT_FOUND + b"Connection: close\r\n\r\n" + NOT_FOUND_BODY)
                conn.shutdown(socket.SHUT_WR)
                conn.settimeout(LINGER_SECONDS)
                try:
                    while conn.recv(65536):
                        pass
                except OSError:
                    pass
                return
        except OSError:  # the run reset the connection as it ended
            return


def accept_loop(listener, counts, server):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=server, args=(conn, counts), daemon=True).start()


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["drop"], ["404"]):
        sys.exit(__doc__)
    server = serve_not_found if sys.argv[2:] == ["404"] else serve
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(256)
    counts = Counts()
    threading.Thread(target=accept_loop, args=(listener, counts, server), daemon=True).start()
    base = "http://127.0.0.1:%d" % listener.getsockname()[1]

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([sys.argv[1], base], stdout=subprocess.DEVNULL, check=False)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    listener.close()

    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    with counts.lock:
        dropped = list(counts.dropped)
    span = dropped[-1] - dropped[0] if len(dropped) > 1 else 0.0
    print("transfer connections:    %d" % len(dropped))
    print("span, first to last (s): %.2f" % span)
    print("connections per second:  %.1f" % (len(dropped) / span if span > 0 else 0.0))
    print("run CPU seconds:         %.3f" % cpu)


if __name__ == "__main__":
    main()
