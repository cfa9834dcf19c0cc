"""How many upload body bytes the internet run counts, against how many the
server received by the end of the upload phase, over HTTP and HTTPS on a lab
link: whether the count holds when TLS sits between libcurl and the socket.

The server side counts only POST body bytes (not the TLS records, headers or
handshakes that the connection's acknowledged bytes also hold), each with the
moment it was read. The client side runs one linkrate_internet_run through
the library and notes the moments of its ticks on the same monotonic clock
(both namespaces share the kernel's clock).

Figures per round:
  counted   the library's upload figure times the phase's length (half the
            record's duration_ms), in bytes; the phase ends at the "complete"
            tick;
  received  body bytes the server had read by the end of the phase;
  acked     body bytes the server had read one one-way delay before the end:
            all that the client could have seen acknowledged by then.
A count that held back too much (bytes subtracted twice) reads below acked.

Usage (as root; brings a lab up and down):
  /usr/bin/python3 bench/internet/upload_count.py LIBRARY [ROUNDS]
"""

from __future__ import annotations

import bisect
import ctypes
import http.server
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NETLAB = os.path.join(ROOT, "bench", "netlab")
LAB = "upcount"
RATE = "20mbit"
DELAY_S = 0.040
DOWNLOAD_BYTES = 25 * 1024 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeline: list = []  # (monotonic, body bytes read), per read
    lock = threading.Lock()

    def log_message(self, *args: object) -> None:
        pass

    def do_GET(self) -> None:  # noqa: N802 - http.server's name
        size = DOWNLOAD_BYTES if self.path.startswith("/garbage") else 0
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        chunk = bytes(65536)
        left = size
        try:
            while left > 0:
                n = min(left, len(chunk))
                self.wfile.write(chunk[:n])
                left -= n
        except OSError:
            self.close_connection = True

    def do_POST(self) -> None:  # noqa: N802
        left = int(self.headers.get("Content-Length", "0"))
        try:
            while left > 0:
                data = self.rfile.read1(min(left, 65536))
                if not data:
                    self.close_connection = True
                    return
                with Handler.lock:
                    Handler.timeline.append((time.monotonic(), len(data)))
                left -= len(data)
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()
        except OSError:
            self.close_connection = True


def serve(port: int, cert: str, key: str, out: str) -> None:
    """The server, in the far namespace, until SIGTERM; then writes its log."""
    server = http.server.ThreadingHTTPServer(("0.0.0.0", port), Handler)
    server.daemon_threads = True
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    import signal

    def stop(*_: object) -> None:
        with Handler.lock:
            with open(out, "w") as f:
                json.dump({"timeline": Handler.timeline}, f)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    print("ready", flush=True)
    server.serve_forever()


def client(library: str, url: str) -> None:
    """One internet run, in the near namespace; prints its figures as JSON."""
    lib = ctypes.CDLL(library)
    tick_type = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_double, ctypes.c_int32)
    ticks: list = []

    def on_tick(phase: bytes, value: float, percent: int) -> None:
        ticks.append((time.monotonic(), phase.decode(), value, percent))

    callback = tick_type(on_tick)
    lib.linkrate_init()
    lib.linkrate_set_tick(callback)
    lib.linkrate_internet_run.argtypes = [ctypes.c_char_p]
    lib.linkrate_result_json.restype = ctypes.c_char_p
    status = lib.linkrate_internet_run(url.encode())
    record = json.loads(lib.linkrate_result_json().decode())
    lib.linkrate_set_tick(None)
    print(json.dumps({"status": status, "record": record, "ticks": ticks}))


def bytes_by(timeline: list, moment: float) -> int:
    times = [t for t, _ in timeline]
    return sum(n for _, n in timeline[: bisect.bisect_right(times, moment)])


def one_round(library: str, scheme: str, port: int, cert: str, key: str, work: str) -> dict:
    log = os.path.join(work, f"server-{scheme}.json")
    server = subprocess.Popen(
        [NETLAB, "exec", "--name", LAB, "far", "--", sys.executable, __file__, "serve",
         str(port), cert if scheme == "https" else "", key, log],
        stdout=subprocess.PIPE, text=True)
    assert server.stdout is not None and server.stdout.readline().strip() == "ready"
    try:
        out = subprocess.run(
            [NETLAB, "exec", "--name", LAB, "near", "--", sys.executable, __file__, "client",
             library, f"{scheme}://198.18.0.2:{port}"],
            check=True, capture_output=True, text=True).stdout
    finally:
        server.terminate()
        server.wait(10)
    run = json.loads(out)
    with open(log) as f:
        seen = json.load(f)
    end = [t for t, phase, _, _ in run["ticks"] if phase == "complete"][0]
    # duration_ms spans both throughput phases, 3 s each plus its clean-up of
    # a few ms: half of it is the upload phase's length.
    phase_s = run["record"]["duration_ms"] / 2000
    counted = run["record"]["upload_mbps"] * 1e6 / 8 * phase_s
    return {
        "scheme": scheme,
        "upload_mbps": run["record"]["upload_mbps"],
        "phase_s": phase_s,
        "counted": counted,
        "received": bytes_by(seen["timeline"], end),
        "acked": bytes_by(seen["timeline"], end - DELAY_S),
    }


def main() -> None:
    if len(sys.argv) >= 2 and sys.argv[1] == "serve":
        serve(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5])
        return
    if len(sys.argv) >= 2 and sys.argv[1] == "client":
        client(sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    library = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) == 3 else 3
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=198.18.0.2", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        subprocess.run([NETLAB, "up", "--name", LAB, "--rate", RATE, "--delay",
                        f"{int(DELAY_S * 1000)}ms"], check=True)
        try:
            print(f"{'scheme':6} {'Mbit/s':>7} {'phase s':>7} {'counted':>9} {'received':>9} "
                  f"{'acked':>9} {'c/recv':>6} {'c/acked':>7}")
            for r in range(rounds):
                for scheme, port in (("http", 8080), ("https", 8443)):
                    f = one_round(library, scheme, port + r, cert, key, work)
                    print(f"{f['scheme']:6} {f['upload_mbps']:7.2f} {f['phase_s']:7.3f} "
                          f"{f['counted']:9.0f} {f['received']:9d} {f['acked']:9d} "
                          f"{f['counted'] / f['received']:6.3f} {f['counted'] / f['acked']:7.3f}",
                          flush=True)
        finally:
            subprocess.run([NETLAB, "down", "--name", LAB], check=False)


if __name__ == "__main__":
    main()
