"""The internet test through the binding, against nginx on loopback."""

from __future__ import annotations

import threading

import pytest

import linkrate


def test_run_with_ticks(nginx_url: str) -> None:
    ticks: list[tuple[str, float, int]] = []
    threads: set[int] = set()

    def on_tick(phase: str, value: float, percent: int) -> None:
        ticks.append((phase, value, percent))
        threads.add(threading.get_ident())

    record = linkrate.internet(nginx_url + "/", on_tick)
    assert record.phase == "complete" and record.failed == ()
    assert record.server == nginx_url
    assert record.ping_ms > 0 and record.download_mbps > 0 and record.upload_mbps > 0
    # Ticks arrive on the caller's thread, phase by phase, in order.
    assert threads == {threading.get_ident()}
    phases = [phase for phase, _, _ in ticks]
    order = ["ping", "download", "upload", "complete"]
    assert sorted(set(phases), key=order.index) == order
    assert phases == sorted(phases, key=order.index)
    assert ticks[-1] == ("complete", record.upload_mbps, 100)
    assert all(0 <= percent <= 100 for _, _, percent in ticks)


def test_callback_exception_is_raised_after_the_run(nginx_url: str) -> None:
    calls = []

    def on_tick(phase: str, value: float, percent: int) -> None:
        calls.append(phase)
        raise ValueError("the host's own bug")

    with pytest.raises(ValueError, match="the host's own bug"):
        linkrate.internet(nginx_url, on_tick)
    assert calls == ["ping"]  # no more ticks after the exception
    assert linkrate.result().phase == "complete"  # the run itself went on


def test_invalid_url_raises_the_library_message() -> None:
    with pytest.raises(linkrate.LinkrateError) as caught:
        linkrate.internet("")
    assert caught.value.message == "Invalid or empty base_url"


def test_cancel_carries_the_rate_so_far(nginx_url: str) -> None:
    def on_tick(phase: str, value: float, percent: int) -> None:
        if phase == "download" and value > 0:
            linkrate.cancel()

    with pytest.raises(linkrate.Cancelled) as caught:
        linkrate.internet(nginx_url, on_tick)
    record = caught.value.result
    assert record.stopped == "download" and record.download_mbps > 0
    assert record.not_measured == ("upload",) and record.failed == ()
    assert record.upload_mbps == 0.0 and record.ping_ms > 0


def test_on_tick_that_cannot_be_called_is_refused_at_once() -> None:
    with pytest.raises(TypeError, match="on_tick must be callable"):
        linkrate.internet("http://127.0.0.1:1", "not a function")  # type: ignore[arg-type]
