"""Which library the module loads: its file name on each system, where it
looks, and what it shows of itself."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import linkrate
from linkrate import _native


@pytest.mark.parametrize(
    "system, file",
    [
        ("linux", "libtarnwell-linkrate.so.2"),
        ("freebsd13", "libtarnwell-linkrate.so.2"),
        ("win32", "tarnwell-linkrate.dll"),
        ("cygwin", "tarnwell-linkrate.dll"),
        ("darwin", "libtarnwell-linkrate.2.dylib"),
    ],
)
def test_library_file_follows_the_system(system: str, file: str) -> None:
    assert _native.library_file(system) == file


def test_the_default_is_this_systems_name() -> None:
    assert _native.LIBRARY_FILE == _native.library_file(sys.platform)


def _loaded_in_child(pythonpath: Path, library_env: str | None) -> subprocess.CompletedProcess:
    """Imports the module in a fresh interpreter; prints the library it loaded."""
    env = {k: v for k, v in os.environ.items() if k not in ("LINKRATE_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(pythonpath)
    if library_env is not None:
        env["LINKRATE_LIBRARY"] = library_env
    return subprocess.run(
        [sys.executable, "-c", "import linkrate._runner as r; print(r.lib._name)"],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.fixture
def module_with_library_beside(tmp_path: Path) -> Path:
    """A copy of the installed module with a copy of the library next to it."""
    copy = tmp_path / "site"
    shutil.copytree(Path(linkrate.__file__).parent, copy / "linkrate")
    shutil.copy(os.environ["LINKRATE_LIBRARY"], copy / "linkrate" / _native.LIBRARY_FILE)
    return copy


def test_a_named_library_is_the_only_candidate(module_with_library_beside: Path, tmp_path: Path) -> None:
    named = os.environ["LINKRATE_LIBRARY"]
    loaded = _loaded_in_child(module_with_library_beside, named)
    assert loaded.returncode == 0, loaded.stderr
    assert loaded.stdout.strip() == named

    # One that cannot be loaded is an error of its own, not a quiet fall back
    # to the library beside the module.
    missing = str(tmp_path / "nowhere" / _native.LIBRARY_FILE)
    failed = _loaded_in_child(module_with_library_beside, missing)
    assert failed.returncode != 0, failed.stdout
    assert "ImportError: cannot load the linkrate library named by LINKRATE_LIBRARY" in failed.stderr
    assert missing in failed.stderr


def test_the_install_prefix_is_searched() -> None:
    prefix = Path(os.environ["LINKRATE_TEST_PREFIX"]).resolve()
    loaded = _loaded_in_child(Path(linkrate.__file__).parent.parent, None)
    assert loaded.returncode == 0, loaded.stderr
    assert Path(loaded.stdout.strip()).resolve().is_relative_to(prefix), loaded.stdout


def test_the_namespace_is_the_public_api() -> None:
    public = {name for name in vars(linkrate) if not name.startswith("_")}
    assert public == set(linkrate.__all__)
