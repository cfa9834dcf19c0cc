"""Ctrl-C in a Python program that runs a test: child interpreters sent SIGINT."""

from __future__ import annotations

import signal
import time

from conftest import child_python, free_port

PRELUDE = """
import signal, socket, sys, time
import linkrate
signal.signal(signal.SIGINT, signal.default_int_handler)
def say(*words):
    print(*words, flush=True)
"""


def wait_for_line(child, expected: str) -> str:
    line = child.stdout.readline()
    assert line.startswith(expected), line + child.stderr.read()
    return line


def test_first_ctrl_c_cancels_and_waits_for_the_test() -> None:
    child = child_python(
        PRELUDE
        + f"""
with linkrate.Server({free_port()}) as server:
    say("running")
    started = time.monotonic()
    try:
        linkrate.download("127.0.0.1", server.port, 30000)
        say("finished")
    except KeyboardInterrupt:
        record = linkrate.result()
        say("interrupted", time.monotonic() - started, record.phase, record.download_mbps)
"""
    )
    wait_for_line(child, "running")
    time.sleep(0.8)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 0, err
    words = out.split()
    assert words[0] == "interrupted", out + err
    assert float(words[1]) < 5
    # The test was cancelled, not abandoned: its figure is in the record.
    assert words[2] == "download" and float(words[3]) >= 0


def test_ctrl_c_in_an_internet_run_carries_the_partial_record(nginx_url: str) -> None:
    child = child_python(
        PRELUDE
        + f"""
def on_tick(phase, value, percent):
    if phase == "download" and value > 0:
        say("downloading")
try:
    linkrate.internet({nginx_url!r}, on_tick)
    say("finished")
except linkrate.Interrupted as stop:
    assert isinstance(stop, KeyboardInterrupt)
    record = stop.result
    say("interrupted", record.stopped, record.download_mbps, ",".join(record.not_measured))
"""
    )
    wait_for_line(child, "downloading")
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 0, err
    words = [line for line in out.splitlines() if not line.startswith("downloading")][0].split()
    assert words[:2] == ["interrupted", "download"], out + err
    assert float(words[2]) > 0 and words[3] == "upload"


def test_second_ctrl_c_raises_at_once_and_the_next_test_waits() -> None:
    # A server that never answers keeps a latency request (and its cancel)
    # busy for up to 3 s.
    child = child_python(
        PRELUDE
        + f"""
silent = socket.socket()
silent.bind(("127.0.0.1", 0))
silent.listen(16)
say("running")
started = time.monotonic()
try:
    linkrate.internet("http://127.0.0.1:%d" % silent.getsockname()[1])
except KeyboardInterrupt:
    say("interrupted", time.monotonic() - started)
try:
    linkrate.ping("127.0.0.1", {free_port()}, 1)
except linkrate.LinkrateError as error:
    say("next", time.monotonic() - started, linkrate.result().phase)
"""
    )
    wait_for_line(child, "running")
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 0, err
    lines = [line.split() for line in out.splitlines()]
    assert [line[0] for line in lines] == ["interrupted", "next"], out + err
    interrupted_at, next_at = float(lines[0][1]), float(lines[1][1])
    assert interrupted_at < 2.0
    # The abandoned run kept the lock until its first request timed out,
    # 3 s after it began.
    assert next_at > 2.9
    assert lines[1][2] == "idle"
