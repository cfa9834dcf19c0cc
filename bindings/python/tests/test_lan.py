"""LAN tests through the binding, against the library's own server."""

from __future__ import annotations

import pathlib
import re
import socket
import threading
import time

import pytest
from conftest import free_port

import linkrate


def header_version() -> str:
    """The version the public header's three macros spell."""
    header = pathlib.Path(__file__).resolve().parents[3] / "include/tarnwell/linkrate.h"
    parts = dict(re.findall(r"#define LINKRATE_VERSION_(MAJOR|MINOR|PATCH) (\d+)", header.read_text()))
    return f"{parts['MAJOR']}.{parts['MINOR']}.{parts['PATCH']}"


def test_version_and_record_types() -> None:
    assert linkrate.version() == header_version()
    record = linkrate.result()
    assert isinstance(record, linkrate.Result)
    assert isinstance(record.duration_ms, int) and isinstance(record.ping_ms, float)


def test_full_run_measures_every_test(server_port: int) -> None:
    record = linkrate.lan("127.0.0.1", server_port, 300)
    assert record.phase == "complete"
    assert record.failed == ()
    assert record.ping_ms > 0 and record.download_mbps > 0 and record.upload_mbps > 0
    assert record.duration_ms == 300
    assert record.server == f"127.0.0.1:{server_port}"
    assert linkrate.result() == record.with_failed(())


def test_single_tests_return_their_figure(server_port: int) -> None:
    assert linkrate.ping("127.0.0.1", server_port, 2) > 0
    rate = linkrate.download("127.0.0.1", server_port, 200)
    assert rate > 0 and linkrate.result().download_mbps == rate
    rate = linkrate.upload("localhost", server_port, 200)
    assert rate > 0 and linkrate.result().upload_mbps == rate
    # Each test starts from a fresh record: the download's figure is gone.
    assert linkrate.result().download_mbps == 0.0


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda port: linkrate.ping("127.0.0.1", port, 2), "No pings succeeded"),
        (lambda port: linkrate.download("127.0.0.1", port, 100), "Connect to host failed"),
        (lambda port: linkrate.upload("127.0.0.1", port, 100), "Connect to host failed"),
        (lambda port: linkrate.lan("127.0.0.1", port, 100), "All tests failed"),
    ],
)
def test_failure_raises_the_library_message(call, message: str) -> None:
    closed = free_port()
    with pytest.raises(linkrate.LinkrateError) as caught:
        call(closed)
    assert not isinstance(caught.value, linkrate.Cancelled)
    assert caught.value.message == message


def test_a_failed_full_run_names_what_measured_nothing() -> None:
    with pytest.raises(linkrate.LinkrateError) as caught:
        linkrate.lan("127.0.0.1", free_port(), 100)
    assert caught.value.message == "All tests failed"
    assert caught.value.failed == ("ping", "download", "upload")
    assert str(caught.value) == "All tests failed (ping, download and upload measured nothing)"
    # A single test has only the library's message.
    with pytest.raises(linkrate.LinkrateError) as caught:
        linkrate.ping("127.0.0.1", free_port(), 1)
    assert caught.value.failed == () and str(caught.value) == "No pings succeeded"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: linkrate.ping("127.0.0.1", 0), ValueError),
        (lambda: linkrate.download("127.0.0.1", 65536), ValueError),
        (lambda: linkrate.lan("127.0.0.1", 7878, 2**31), ValueError),
        (lambda: linkrate.ping("127.0.0.1\0evil", 7878), ValueError),
        (lambda: linkrate.ping(b"127.0.0.1", 7878), TypeError),
        (lambda: linkrate.Server(-1), ValueError),
    ],
)
def test_bad_arguments_never_reach_the_library(call, error: type) -> None:
    with pytest.raises(error):
        call()


def test_a_run_that_measured_nothing_names_its_tests() -> None:
    # A peer that accepts and hangs up at once: no ping reply, no payload.
    # The library still calls the run a success; the binding says what failed.
    peer = socket.socket()
    peer.bind(("127.0.0.1", 0))
    peer.listen(16)
    stop = threading.Event()

    def hang_up() -> None:
        peer.settimeout(0.1)
        while not stop.is_set():
            try:
                conn, _ = peer.accept()
                conn.close()
            except OSError:
                pass

    closer = threading.Thread(target=hang_up)
    closer.start()
    try:
        record = linkrate.lan("127.0.0.1", peer.getsockname()[1], 200)
    finally:
        stop.set()
        closer.join()
        peer.close()
    # The upload's first block is handed to the connection before the
    # hang-up shows, so whether it counts depends on timing.
    assert record.failed[:2] == ("ping", "download")
    assert record.phase == "complete"
    figures = {"ping": record.ping_ms, "download": record.download_mbps, "upload": record.upload_mbps}
    assert [name for name, figure in figures.items() if figure == 0.0] == list(record.failed)


def test_one_server_per_process(server_port: int) -> None:
    other = linkrate.Server(free_port())
    with pytest.raises(linkrate.LinkrateError, match="already running"):
        other.start()
    assert not other.running
    other.stop()  # not running: nothing happens, the first server stays
    assert linkrate.ping("127.0.0.1", server_port, 1) > 0


def test_cancel_from_another_thread_keeps_what_was_measured(server_port: int) -> None:
    timer = threading.Timer(0.4, linkrate.cancel)
    timer.start()
    started = time.monotonic()
    with pytest.raises(linkrate.Cancelled) as caught:
        linkrate.download("127.0.0.1", server_port, 20000)
    assert time.monotonic() - started < 5
    assert caught.value.message == "Cancelled by user"
    # Recorded and returned: the rate until the cancel (0.0 on a machine so
    # busy that the transfer had not begun).
    assert caught.value.value is not None and caught.value.value >= 0
    assert caught.value.result.phase == "download"
    assert caught.value.result.download_mbps == caught.value.value

    # A full run stopped early: the upload never ran.
    threading.Timer(0.4, linkrate.cancel).start()
    with pytest.raises(linkrate.Cancelled) as caught:
        linkrate.lan("127.0.0.1", server_port, 20000)
    assert caught.value.result.phase in ("ping", "download")
    assert "upload" in caught.value.result.failed


def test_threads_take_turns(server_port: int) -> None:
    rates: list[float] = []
    spans: list[tuple[float, float]] = []

    def measure() -> None:
        rate = linkrate.download("127.0.0.1", server_port, 300)
        spans.append((time.monotonic() - 0.3, time.monotonic()))
        rates.append(rate)

    threads = [threading.Thread(target=measure) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(rates) == 3 and all(rate > 0 for rate in rates)
    spans.sort()
    assert all(later[0] >= earlier[1] - 0.05 for earlier, later in zip(spans, spans[1:]))
