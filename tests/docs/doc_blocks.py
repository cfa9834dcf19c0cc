#!/usr/bin/python3
"""The user-facing steps of README.md and docs/*.md, run as written.

Every fenced block of those files is either run here or excluded with its
reason, and a block in neither list (or a list entry that matches no block)
fails the check, so a new or changed block cannot drift unseen. A block is
known by its file and its first line.

The run installs to /usr/local as the README says, so it happens walled off:
a private mount namespace with a tmpfs over /usr/local and a copy of /etc
(ldconfig writes its cache there), and, once npm has fetched what it needs, a
network namespace of its own, so the fixed ports of the examples are free and
only loopback is ever a target. The user's own project is a temporary folder
outside the tree.

Usage: doc_blocks.py ROOT [--list-only]
  --list-only  only check that every block is listed (no root needed)
Exits 77 when it cannot run (not root, no unshare); under CI=true that is a
failure.
"""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

NAME = "doc_blocks"
PLACEHOLDER = "/path/to/tarnwell-linkrate"

# Blocks run by this check, by (file, first line): what each is run as.
RUN = {
    ("README.md", "scripts/demo.sh"): "the main job, in the tree",
    ("README.md", "cmake --preset default            # RelWithDebInfo in build/default (also: asan, tsan)"):
        "the build and install to /usr/local, in the tree, line by line",
    ("README.md", "npm install --install-links /path/to/tarnwell-linkrate/bindings/node    # in your project"):
        "the Node package installed into the user's project",
    ("README.md", "cc myhost.c $(pkg-config --cflags --libs tarnwell-linkrate) -o myhost"):
        "the C host below built with pkg-config, then run",
    ("README.md", "#include <stdio.h>"): "myhost.c of the two builds",
    ("README.md", "find_package(tarnwell-linkrate 2 REQUIRED)"):
        "the CMake lines of a project building myhost.c, then run",
    ("README.md", "cmake -S /path/to/tarnwell-linkrate/examples -B examples-build"):
        "examples/ built against the installed library, then run",
    ("README.md", "import sys"): "run by Debian's python3 against a loopback nginx",
    ("README.md", "const linkrate = require('@tarnwell/linkrate');"):
        "run by node inside an async function, with url set to a loopback nginx",
}

# Lines of run blocks that are not run, with the reason.
SKIPPED_LINES = {
    "ctest --preset default": "the test suite itself, which runs this check",
}

# Blocks not run here, by (file, first line), with the reason.
EXCLUDED = {
    ("README.md", "scripts/test.sh"): "the test command itself, which runs this check",
    ("README.md", "scripts/fuzz.sh 600"): "ten minutes per target; the test command fuzzes for a minute",
    ("README.md", "linkrate serve --port 7878           # until Ctrl-C"):
        "a remote target (192.0.2.10); only loopback is ever a target",
    ("README.md", "linkrate internet https://speed.example.net/backend --ticks ticks.jsonl"):
        "a remote target (speed.example.net)",
    ("README.md", "linkrate lan 192.0.2.10 --json | jq .download_mbps"): "a remote target (192.0.2.10)",
    ("README.md", "Latency   20.81 ms idle"): "rows of a table, as an example; the program's tests check their shape",
    ("README.md", "$ linkrate internet http://127.0.0.1:48080/"):
        "a transcript of output; the program's tests check its shape",
    ("README.md", "$ linkrate lan 127.0.0.1 --duration 5000; echo \"exit status $?\""):
        "a transcript of a run stopped by hand with Ctrl-C",
    ("README.md", "$ tests/support/nginx-fixture.sh --port 48080 &"):
        "a transcript; the Python block it shows is run here",
    ("README.md", "bench/lan_vs_iperf3.sh"): "a benchmark of minutes",
    ("README.md", "bench/internet/run.sh            # 5 rounds over HTTP; bench/internet/run.sh 3 https"):
        "a benchmark of minutes",
    ("README.md", "bench/internet/dropped_transfers.sh   # 3 rounds"): "a benchmark of minutes",
    ("README.md", "bench/accuracy"): "a benchmark of about 13 minutes",
    ("README.md", "bench/netlab selftest"): "the lab, tested by ctest -L lab",
    ("README.md", "bench/netlab up --rate 20mbit --delay 40ms --loss 0.5%"): "the lab, tested by ctest -L lab",
    ("README.md", "scripts/package.sh"):
        "installs packages into this machine's /usr; the test command builds, installs, uses and removes them",
    ("README.md", "sudo server/install.sh              # with the linkrate-server package: sudo linkrate-server-setup"):
        "changes this machine's nginx; tests/server/install_test.sh runs it walled off",
    ("README.md", "scripts/setup.sh windows"): "the windows preset, which the test command runs",
    ("docs/benchmarks.md", "bench/lan_vs_iperf3.sh 5 3     # 5 rounds of 3 s per direction and tool"):
        "a benchmark of minutes",
    ("docs/benchmarks.md", "bench/accuracy                         # 5 rounds per link"):
        "a benchmark of minutes",
    ("docs/design.md", "src/library.cpp            the subsystem table (init/cleanup reach lan and internet through it)"):
        "a diagram",
    ("docs/netlab.md", "sudo bench/netlab selftest"): "the lab, tested by ctest -L lab",
    ("docs/netlab.md", "namespace NAME-near                          namespace NAME-far"): "a diagram",
    ("docs/netlab.md", "bench/netlab up --rate 20mbit --delay 40ms --loss 0.5%   # lab \"netlab\""):
        "the lab, tested by ctest -L lab",
    ("docs/server.md", "sudo server/install.sh                       # HTTP on port 8080"):
        "changes this machine's nginx; tests/server/install_test.sh runs it walled off",
    ("docs/server.md", "install.sh [--port N] [--https-port M --cert FILE --key FILE]"): "a usage synopsis",
    ("docs/server.md", "server {"): "a fragment of the reader's own nginx site",
    ("docs/server.md", "location /speed/ {"): "a fragment of the reader's own nginx site",
}


class Failed(Exception):
    pass


def skip(reason: str) -> None:
    if os.environ.get("CI") == "true":
        print(f"{NAME}: FAILED: cannot run under CI: {reason}", file=sys.stderr)
        sys.exit(1)
    print(f"{NAME}: SKIPPED: {reason}")
    sys.exit(77)


def blocks(root: Path) -> dict[tuple[str, str], str]:
    """Every fenced block of README.md and docs/*.md: (file, first line) -> text."""
    found: dict[tuple[str, str], str] = {}
    for path in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        name = str(path.relative_to(root))
        for match in re.finditer(r"^```[^\n]*\n(.*?)^```[ \t]*$", path.read_text(), re.M | re.S):
            text = match.group(1)
            key = (name, text.split("\n", 1)[0].strip())
            if key in found:
                raise Failed(f"two blocks of {name} begin with the same line: {key[1]}")
            found[key] = text
    return found


def check_listed(found: dict[tuple[str, str], str]) -> None:
    problems = [f"in neither list: {f}: {line}" for f, line in found if (f, line) not in RUN | EXCLUDED]
    problems += [f"listed but no block has it: {f}: {line}" for f, line in RUN | EXCLUDED if (f, line) not in found]
    problems += [f"in both lists: {f}: {line}" for f, line in RUN.keys() & EXCLUDED.keys()]
    if problems:
        raise Failed("the documentation's blocks and this check's lists differ:\n  " + "\n  ".join(problems))


def block(found: dict[tuple[str, str], str], first: str) -> str:
    return found[("README.md", first)]


def command_lines(text: str, root: Path) -> list[str]:
    """The shell lines of a block, the placeholder path made this tree's."""
    lines = []
    for line in text.splitlines():
        command = line.split("  #", 1)[0].strip()
        if command:
            lines.append(command.replace(PLACEHOLDER, str(root)))
    return lines


def run(command: str | list[str], cwd: Path, env: dict[str, str], timeout: float = 600) -> str:
    """Runs a command (a string through bash); its output, or Failed."""
    args = ["bash", "-euo", "pipefail", "-c", command] if isinstance(command, str) else command
    shown = command if isinstance(command, str) else " ".join(command)
    print(f"{NAME}: $ {shown}   (in {cwd})", flush=True)
    started = time.monotonic()
    try:
        done = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        raise Failed(f"{shown}: still running after {timeout:.0f} s") from exc
    print(f"{NAME}:   took {time.monotonic() - started:.1f} s", flush=True)
    if done.returncode != 0:
        raise Failed(f"{shown}: exit status {done.returncode}\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr


def expect(output: str, pattern: str, what: str) -> None:
    if not re.search(pattern, output):
        raise Failed(f"{what}: no match for {pattern!r} in:\n{output}")


def wall_off(walls: Path) -> None:
    """Inside the private mount namespace: /usr/local empty, /etc a copy."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/usr/local"], check=True)
    shutil.copytree("/etc", walls / "etc", symlinks=True)
    subprocess.run(["mount", "--bind", str(walls / "etc"), "/etc"], check=True)


def own_network() -> None:
    """This process and its children from now on: a network of loopback only."""
    clone_newnet = 0x40000000
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(clone_newnet) != 0:
        raise Failed(f"unshare(CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_nginx(root: Path, work: Path) -> tuple[subprocess.Popen, str]:
    port = free_port()
    fixture = [str(root / "tests/support/nginx-fixture.sh"), "--port", str(port), "--dir", str(work / "nginx")]
    # The build's body files, when its tests have made them already.
    garbage = root / "build/default/tests/nginx-garbage"
    if garbage.is_dir():
        fixture += ["--garbage-dir", str(garbage)]
    server = subprocess.Popen(
        fixture,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return server, f"http://127.0.0.1:{port}/"
        if server.poll() is not None:
            raise Failed("the nginx fixture ended before it served")
        time.sleep(0.2)
    raise Failed("the nginx fixture did not serve within 60 s")


def run_blocks(root: Path, found: dict[tuple[str, str], str], walls: Path) -> None:
    wall_off(walls)
    project = walls / "myproject"
    project.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("LINKRATE_LIBRARY", "LD_LIBRARY_PATH", "NODE_PATH")}
    env["PATH"] = "/usr/local/bin:/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin"

    output = run(block(found, "scripts/demo.sh").strip(), root, env, timeout=1800)
    for row in (r"Latency +[0-9.]+ ms", r"Download +[0-9]+ Mbit/s", r"Upload +[0-9]+ Mbit/s"):
        expect(output, row, "the main job")

    # Building and installing, in the tree, as the README shows it.
    build = block(found, "cmake --preset default            # RelWithDebInfo in build/default (also: asan, tsan)")
    for line in command_lines(build, root):
        if line in SKIPPED_LINES:
            print(f"{NAME}: not run: {line} ({SKIPPED_LINES[line]})")
            continue
        run(line, root, env, timeout=1800)
    for line in command_lines(
        block(found, "npm install --install-links /path/to/tarnwell-linkrate/bindings/node    # in your project"),
        root,
    ):
        run(line, project, env)

    own_network()
    # The C host, built both ways the README shows.
    (project / "myhost.c").write_text(block(found, "#include <stdio.h>"))
    for line in command_lines(block(found, "cc myhost.c $(pkg-config --cflags --libs tarnwell-linkrate) -o myhost"), root):
        run(line, project, env)
    expect(run("./myhost", project, env, timeout=60), r'"phase":"complete"', "myhost built with pkg-config")
    cmake_project = project / "cmake"
    cmake_project.mkdir()
    (cmake_project / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(myhost C)\nadd_executable(myhost myhost.c)\n"
        + block(found, "find_package(tarnwell-linkrate 2 REQUIRED)")
    )
    shutil.copy(project / "myhost.c", cmake_project)
    run(["cmake", "-S", ".", "-B", "build"], cmake_project, env)
    run(["cmake", "--build", "build"], cmake_project, env)
    expect(run("build/myhost", cmake_project, env, timeout=60), r'"phase":"complete"', "myhost built by CMake")
    for line in command_lines(block(found, "cmake -S /path/to/tarnwell-linkrate/examples -B examples-build"), root):
        output = run(line, project, env, timeout=120)
    expect(output, r'"phase":"complete"', "examples/ against the installed library")

    # The bindings' blocks against a loopback nginx, the library found where
    # the install put it.
    server, url = start_nginx(root, walls)
    try:
        (project / "internet_run.py").write_text(block(found, "import sys"))
        output = run(["/usr/bin/python3", "internet_run.py", url], project, env, timeout=120)
        expect(output, r"latency [0-9.]+ ms, download [0-9.]+ Mbit/s", "the Python block")
        expect(output, r"phase='complete'", "the Python block's LAN run")
        js = block(found, "const linkrate = require('@tarnwell/linkrate');")
        (project / "internet_run.js").write_text(
            "(async () => {\nconst url = process.argv[2];\n" + js + "})().catch((error) => {\n"
            "  console.error(error);\n  process.exitCode = 1;\n});\n"
        )
        output = run(["node", "internet_run.js", url], project, env, timeout=120)
        expect(output, r"phase: 'complete'", "the Node block")
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(timeout=30)


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = Path(sys.argv[1]).resolve()
    try:
        found = blocks(root)
        check_listed(found)
        if "--list-only" in sys.argv:
            print(f"{NAME}: {len(found)} blocks, each run or excluded with its reason")
            return 0
        if "--walled-off" not in sys.argv:
            if os.geteuid() != 0:
                skip("needs root (mount and network namespaces)")
            if shutil.which("unshare") is None:
                skip("unshare is missing")
            walls = Path(tempfile.mkdtemp(prefix="linkrate-docs-"))
            try:
                inside = [sys.executable, sys.argv[0], str(root), "--walled-off", str(walls)]
                return subprocess.run(["unshare", "--mount", "--fork", *inside], check=False).returncode
            finally:
                shutil.rmtree(walls, ignore_errors=True)
        run_blocks(root, found, Path(sys.argv[sys.argv.index("--walled-off") + 1]))
    except Failed as exc:
        print(f"{NAME}: FAILED: {exc}", file=sys.stderr)
        return 1
    print(f"{NAME}: the README's and docs' steps work as written ({len(RUN)} blocks run, {len(EXCLUDED)} excluded)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
