"""Network speed tests from Python: the linkrate library through ctypes.

LAN tests run against the library's built-in server (``Server``) on the peer;
the internet test runs against an HTTP speed-test server named by its base
URL. Every test blocks its caller until it ends; ``cancel()`` from any thread
(or Ctrl-C in the main thread) stops it early. Tests from several threads take
turns, since the library keeps one process-wide result record.

    import linkrate
    with linkrate.Server(7878):
        print(linkrate.lan("127.0.0.1", 7878))

The library is the file named by the LINKRATE_LIBRARY environment variable
when it is set, and nothing else; otherwise it is looked for next to this
module, then in the library folder of the prefix the module was installed
into, then by the system's loader.
"""

from collections.abc import Callable as _Callable
from dataclasses import replace as _replace

from . import _runner
from ._result import Cancelled, Interrupted, LinkrateError, Result
from ._runner import Tick
from ._runner import Turn as _Turn
from ._runner import lib as _lib

__all__ = [
    "DEFAULT_PORT",
    "Cancelled",
    "Interrupted",
    "LinkrateError",
    "Result",
    "Server",
    "Tick",
    "cancel",
    "download",
    "internet",
    "lan",
    "ping",
    "result",
    "upload",
    "version",
]

DEFAULT_PORT = 7878
_CANCELLED = "Cancelled by user"
_LAN_TESTS = ("ping", "download", "upload")
_INTERNET_RATES = ("download", "upload")

# The first call initialises the library, before any thread could race it.
_runner.init()


def version() -> str:
    """The library's version text, for example "2.0.0"."""
    return _lib.linkrate_version().decode()


def cancel() -> None:
    """Asks the running test to stop; callable from any thread, never blocks.

    A request made while no test runs is dropped by the next test.
    """
    _runner.cancel()


def result() -> Result:
    """The library's latest result record (also while a test runs)."""
    return Result.from_json(_runner.result_json())


def _text(value: str, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain NUL characters")
    return value.encode("utf-8")


def _port(port: int) -> int:
    if not isinstance(port, int) or isinstance(port, bool):
        raise TypeError(f"port must be an int, not {type(port).__name__}")
    if not 1 <= port <= 65535:
        raise ValueError(f"port must be 1 to 65535, not {port}")
    return port


def _int32(value: int, what: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not -(2**31) <= value < 2**31:
        raise ValueError(f"{what} is out of range: {value}")
    return value


def _was_cancelled(outcome: _runner.Outcome, failed: bool) -> bool:
    # The library says so; or the caller cancelled and the test then failed
    # (a ping cancelled before its first reply reports "No pings succeeded").
    return outcome.error == _CANCELLED or (failed and outcome.cancel_requested)


def _measure(function: _Callable[[bytes, int, int], float], host: str, port: int, arg: int) -> float:
    host_b, port, arg = _text(host, "host"), _port(port), _int32(arg, "argument")
    outcome = _runner.run(lambda: function(host_b, port, arg))
    value = float(outcome.value)
    if outcome.interrupted or _was_cancelled(outcome, value < 0):
        measured = value if value >= 0 else None
        record = Result.from_json(outcome.json)
        if outcome.interrupted:
            raise Interrupted(record, measured)
        raise Cancelled(outcome.error or _CANCELLED, record, measured)
    if value < 0:
        raise LinkrateError(outcome.error)
    return value


def ping(host: str, port: int = DEFAULT_PORT, count: int = 5) -> float:
    """Mean TCP round trip to a linkrate server, in ms, over `count` pings.

    A count of 0 or less means 5. Raises LinkrateError when no ping got a
    reply, Cancelled when cancelled.
    """
    return _measure(_lib.linkrate_ping, host, port, count)


def download(host: str, port: int = DEFAULT_PORT, duration_ms: int = 2000) -> float:
    """Download throughput from a linkrate server in Mbit/s.

    Transfers for `duration_ms` (0 or less means 2000). 0.0 means nothing
    arrived. Raises LinkrateError when the test cannot start, Cancelled
    (carrying the rate so far) when cancelled.
    """
    return _measure(_lib.linkrate_download, host, port, duration_ms)


def upload(host: str, port: int = DEFAULT_PORT, duration_ms: int = 2000) -> float:
    """Upload throughput to a linkrate server in Mbit/s; as download()."""
    return _measure(_lib.linkrate_upload, host, port, duration_ms)


def _finish(
    outcome: _runner.Outcome, names: tuple[str, ...], fields: tuple[str, ...], phases: bool = False
) -> Result:
    """The record of a run, with the tests that measured nothing named.

    With `phases` (the internet run, whose record names the phase under way),
    a stopped run's record also names the phase cut short, which carries the
    running rate of its latest tick, and the phases it never reached.
    """
    record = Result.from_json(outcome.json)
    status = int(outcome.value)
    stopped = outcome.interrupted or _was_cancelled(outcome, status != 0)
    reached = len(names)
    if stopped and phases and record.phase != "complete":
        order = ("ping",) + names
        at = order.index(record.phase) if record.phase in order else 0
        reached = max(at - 1, 0)  # the rates before the phase cut short
        if at > 0:
            so_far = outcome.last_ticks.get(record.phase, 0.0)
            record = _replace(record, **{fields[at - 1]: so_far}, stopped=record.phase)
        else:
            record = _replace(record, stopped="ping")
        record = _replace(record, not_measured=names[at:])
    failed = [
        name for name, field in zip(names[:reached], fields[:reached]) if getattr(record, field) == 0.0
    ]
    record = record.with_failed(failed)
    if outcome.interrupted:
        raise Interrupted(record)
    if stopped:
        raise Cancelled(outcome.error or _CANCELLED, record)
    if status != 0:
        # The tests of a full LAN run that measured nothing are named.
        raise LinkrateError(outcome.error, () if phases else failed)
    return record


def lan(host: str, port: int = DEFAULT_PORT, duration_ms: int = 2000) -> Result:
    """The full LAN test: 5 pings, then download and upload of `duration_ms` each.

    Returns the record; its ``failed`` names the tests that measured nothing.
    Raises LinkrateError when every test failed (its ``failed`` and its text
    name them), Cancelled (carrying the record) when cancelled, and
    Interrupted, a KeyboardInterrupt carrying the record, on Ctrl-C.
    """
    host_b, port, duration_ms = _text(host, "host"), _port(port), _int32(duration_ms, "duration_ms")
    outcome = _runner.run(lambda: _lib.linkrate_run_all(host_b, port, duration_ms))
    return _finish(outcome, _LAN_TESTS, ("ping_ms", "download_mbps", "upload_mbps"))


def internet(base_url: str, on_tick: Tick | None = None) -> Result:
    """The internet test against the HTTP speed-test server at `base_url`.

    Ten latency requests, 3 s of download, 3 s of upload. `on_tick(phase,
    value, percent)` is called on this thread for each progress report:
    phase "ping" (value in ms), "download" or "upload" (running rate in
    Mbit/s), and "complete" once at the end. Returns the record, whose
    ``failed`` names a phase whose rate is 0.0 (nothing got through, or the
    server answered with errors). Raises LinkrateError on failure; when
    stopped by cancel(), Cancelled, and by Ctrl-C, Interrupted (a
    KeyboardInterrupt), each carrying the partial record: ``stopped`` names
    the phase cut short, whose figure is its rate so far. An exception raised
    by `on_tick` ends the reports and is raised after the run.
    """
    if on_tick is not None and not callable(on_tick):
        raise TypeError(f"on_tick must be callable, not {type(on_tick).__name__}")
    url = _text(base_url, "base_url")
    outcome = _runner.run(lambda: _lib.linkrate_internet_run(url), on_tick, ticks=True)
    return _finish(outcome, _INTERNET_RATES, ("download_mbps", "upload_mbps"), phases=True)


class Server:
    """The built-in LAN test server on all local IPv4 addresses at `port`.

    One server per process: starting a second one raises LinkrateError. Use
    it as a context manager, or call start() and stop().
    """

    _running: "Server | None" = None

    def __init__(self, port: int = DEFAULT_PORT) -> None:
        self.port = _port(port)

    @property
    def running(self) -> bool:
        """True from a successful start() until stop()."""
        return Server._running is self

    def start(self) -> "Server":
        """Starts listening; blocks up to about 2 s while the listener starts."""
        with _Turn():
            if Server._running is not None:
                raise LinkrateError(
                    f"A LAN server is already running in this process (port {Server._running.port})"
                )
            if _lib.linkrate_start_server(self.port) != 0:
                raise LinkrateError(_runner.last_error())
            Server._running = self
        return self

    def stop(self) -> None:
        """Stops the server (up to about 3 s); does nothing if it is not running."""
        with _Turn():
            if Server._running is self:
                _lib.linkrate_stop_server()
                Server._running = None

    def __enter__(self) -> "Server":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"Server(port={self.port}, running={self.running})"
