"""The library's file name for each system the module may run on."""

from __future__ import annotations

import sys

import pytest

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
