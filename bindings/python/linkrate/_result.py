"""The outcome of a test and the errors that a test raises."""

from __future__ import annotations

import json
from dataclasses import dataclass, field, replace
from typing import Iterable, Optional


@dataclass(frozen=True)
class Result:
    """The library's result record, as its JSON text gives it.

    Rates are in Mbit/s (10^6 bit/s), times in milliseconds. ``phase`` is
    "idle", "ping", "download", "upload" or "complete". ``failed`` names the
    tests of a run that measured nothing ("ping", "download", "upload"); their
    figures read 0.0 and are not measurements.
    """

    ping_ms: float
    download_mbps: float
    upload_mbps: float
    duration_ms: int
    jitter_ms: float
    server: str
    phase: str
    failed: tuple[str, ...] = field(default=())
    stopped: str = ""
    not_measured: tuple[str, ...] = field(default=())

    @classmethod
    def from_json(cls, text: str) -> "Result":
        """Builds a Result from the library's JSON text."""
        doc = json.loads(text)
        return cls(
            ping_ms=float(doc["ping_ms"]),
            download_mbps=float(doc["download_mbps"]),
            upload_mbps=float(doc["upload_mbps"]),
            duration_ms=int(doc["duration_ms"]),
            jitter_ms=float(doc["jitter_ms"]),
            server=str(doc["server"]),
            phase=str(doc["phase"]),
        )

    def with_failed(self, tests: Iterable[str]) -> "Result":
        """The same record with ``failed`` naming `tests`."""
        return replace(self, failed=tuple(tests))


class LinkrateError(RuntimeError):
    """A test failed; ``message`` is the library's own text.

    For a full LAN run, ``failed`` names the tests that measured nothing, and
    the error's text names them after the message: "All tests failed (ping,
    download and upload measured nothing)".
    """

    def __init__(self, message: str, failed: Iterable[str] = ()) -> None:
        self.message = message
        self.failed = tuple(failed)
        super().__init__(_with_names(message, self.failed))


def _with_names(message: str, tests: tuple[str, ...]) -> str:
    if not tests:
        return message
    names = tests[0] if len(tests) == 1 else ", ".join(tests[:-1]) + " and " + tests[-1]
    return f"{message} ({names} measured nothing)"


class Cancelled(LinkrateError):
    """A test was cancelled.

    ``result`` is the record as the cancelled test left it; ``value`` is what
    a ping, download or upload returned before it stopped (None when it
    measured nothing, and for full runs).
    """

    def __init__(self, message: str, result: Result, value: Optional[float] = None) -> None:
        super().__init__(message)
        self.result = result
        self.value = value


class Interrupted(KeyboardInterrupt):
    """Ctrl-C stopped a test: a KeyboardInterrupt that carries, as Cancelled
    does, the record the test left (``result``) and what a ping, download or
    upload returned (``value``)."""

    def __init__(self, result: Result, value: Optional[float] = None) -> None:
        super().__init__()
        self.result = result
        self.value = value
