"""Fixtures of the binding's tests: free ports, a LAN server, nginx, child runs."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator

import pytest

import linkrate

ROOT = Path(__file__).resolve().parents[3]
NGINX_FIXTURE = ROOT / "tests" / "support" / "nginx-fixture.sh"


def free_port() -> int:
    """A loopback TCP port that the system reports free right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port: int) -> bool:
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


@pytest.fixture(scope="module")
def server_port() -> Iterator[int]:
    """The library's own server on a free loopback port, for one module."""
    for _ in range(10):
        server = linkrate.Server(free_port())
        try:
            server.start()
        except linkrate.LinkrateError:
            continue  # someone took the port meanwhile
        try:
            yield server.port
        finally:
            server.stop()
        return
    pytest.fail("no free port for the LAN server")


@pytest.fixture(scope="session")
def nginx_url(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """nginx as a loopback speed-test server (tests/support/nginx-fixture.sh)."""
    folder = tmp_path_factory.mktemp("nginx")
    for _ in range(5):
        port = free_port()
        process = subprocess.Popen(
            ["bash", str(NGINX_FIXTURE), "--port", str(port), "--dir", str(folder)],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and process.poll() is None and not accepts(port):
            time.sleep(0.02)
        if process.poll() is None and accepts(port):
            try:
                yield f"http://127.0.0.1:{port}"
            finally:
                process.terminate()
                process.wait(timeout=10)
            return
        process.kill()
        process.wait()
    pytest.fail("nginx did not start (is nginx installed? scripts/setup.sh)")


def child_python(script: str) -> subprocess.Popen:
    """Runs `script` in a child interpreter that imports this very module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(linkrate.__file__).resolve().parents[1])] + env.get("PYTHONPATH", "").split(os.pathsep)
    )
    return subprocess.Popen(
        [sys.executable, "-c", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
