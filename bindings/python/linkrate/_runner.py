"""Running one library call at a time, off the caller's thread.

The library's result record, cancel flag and last-error text are process-wide,
so every test takes turns on one lock. The foreign call itself runs on a
helper thread: a thread blocked inside C does not see signals, and the caller
(in a program's main thread) must still take Ctrl-C. Ticks travel from the
helper thread to the caller through a queue, so the measuring thread never
waits for the host's callback and a callback's exception never reaches C.
"""

from __future__ import annotations

import queue
import threading
from dataclasses import dataclass, field, replace
from typing import Callable, Optional, Union

from ._native import TickCallback, load

lib = load()

# One test or server call at a time. Released by the helper thread when its
# foreign call has returned, so an abandoned call still keeps out the next.
_lock = threading.Lock()
# linkrate_init and the JSON text: init must not overlap a read of the text,
# and the text is read by one thread at a time.
_json_lock = threading.Lock()
# Set by cancel(). A library call drops a cancel that came before it started
# (it clears the flag first), and that moment cannot be seen from here, so the
# waiting caller repeats the library's cancel while it is set and the call
# runs. Once the call has cleared its flag it keeps a cancel to its end, a
# full LAN run between its tests too.
_cancel_requested = threading.Event()
_REPEAT_CANCEL_S = 0.05

Tick = Callable[[str, float, int], None]
_tick_sink: Optional[Callable[[tuple[str, float, int]], None]] = None


def _forward_tick(phase: bytes, value: float, percent: int) -> None:
    # Runs on the helper thread inside the library: hand the tick over and
    # return at once. Nothing raised here may unwind into C.
    try:
        sink = _tick_sink
        if sink is not None:
            sink((phase.decode("utf-8", "replace"), value, percent))
    except BaseException:  # noqa: BLE001 - the C caller cannot take it
        pass


# Kept for the life of the process: the library holds its address while a run
# with ticks is under way.
_TICK_TRAMPOLINE = TickCallback(_forward_tick)
_NO_TICK = TickCallback()


@dataclass(frozen=True)
class Outcome:
    """What one call left behind, read on the thread that made it."""

    value: Union[int, float]
    error: str
    json: str
    cancel_requested: bool
    # Ctrl-C cancelled the call (which was waited for).
    interrupted: bool = False
    # The value of the latest tick of each phase.
    last_ticks: dict[str, float] = field(default_factory=dict)


@dataclass(frozen=True)
class _Done:
    outcome: Union[Outcome, BaseException]


def init() -> None:
    """Initialises the library (resets the record, message and cancel flag)."""
    with _json_lock:
        lib.linkrate_init()


def result_json() -> str:
    """The library's JSON text, read by one thread at a time."""
    with _json_lock:
        return lib.linkrate_result_json().decode("utf-8", "replace")


def last_error() -> str:
    return lib.linkrate_last_error().decode("utf-8", "replace")


def cancel() -> None:
    _cancel_requested.set()
    lib.linkrate_cancel()


def _work(call: Callable[[], Union[int, float]], ticks: bool, events: "queue.SimpleQueue") -> None:
    global _tick_sink
    done: Union[Outcome, BaseException]
    try:
        # A fresh record for every test: a figure left by an earlier test
        # must not pass for one this test measured.
        init()
        if ticks:
            _tick_sink = events.put
            lib.linkrate_set_tick(_TICK_TRAMPOLINE)
        try:
            value = call()
            error = last_error()
        finally:
            if ticks:
                lib.linkrate_set_tick(_NO_TICK)
                _tick_sink = None
        done = Outcome(value, error, result_json(), _cancel_requested.is_set())
    except BaseException as exc:  # noqa: BLE001 - handed to the caller
        done = exc
    finally:
        _lock.release()
    events.put(_Done(done))


def run(
    call: Callable[[], Union[int, float]], on_tick: Optional[Tick] = None, ticks: bool = False
) -> Outcome:
    """Runs `call` (a foreign test call) in its turn and returns its outcome.

    With `ticks` (or an `on_tick`), the call's progress reports are taken: the
    latest value of each phase goes into the outcome, and each report is
    delivered to `on_tick` on this thread. The first Ctrl-C cancels the test,
    waits for it to return and gives its outcome marked as interrupted; a
    second one raises KeyboardInterrupt at once, and the test ends on its own
    while the lock keeps the next test out. An exception raised by `on_tick`
    stops further ticks and is raised once the test has returned.
    """
    ticks = ticks or on_tick is not None
    _lock.acquire()
    try:
        _cancel_requested.clear()
        events: queue.SimpleQueue = queue.SimpleQueue()
        helper = threading.Thread(
            target=_work, args=(call, ticks, events), name="linkrate-call", daemon=True
        )
        helper.start()
    except BaseException:
        _lock.release()
        raise

    interrupted = False
    tick_error: Optional[Exception] = None
    last_ticks: dict[str, float] = {}
    while True:
        try:
            try:
                item = events.get(timeout=_REPEAT_CANCEL_S)
            except queue.Empty:
                if _cancel_requested.is_set():
                    lib.linkrate_cancel()
                continue
            if isinstance(item, _Done):
                break
            last_ticks[item[0]] = item[1]
            if on_tick is not None and tick_error is None and not interrupted:
                try:
                    on_tick(*item)
                except Exception as exc:  # noqa: BLE001 - raised after the run
                    tick_error = exc
        except KeyboardInterrupt:
            if interrupted:
                raise
            interrupted = True
            cancel()

    if isinstance(item.outcome, BaseException):
        raise item.outcome
    if tick_error is not None and not interrupted:
        raise tick_error
    return replace(item.outcome, interrupted=interrupted, last_ticks=last_ticks)


class Turn:
    """The lock as a context manager, for calls that run on the caller's thread."""

    def __enter__(self) -> None:
        _lock.acquire()

    def __exit__(self, *exc_info: object) -> None:
        _lock.release()
