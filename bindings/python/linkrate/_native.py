"""Finding and loading the shared library, and the prototypes of its calls."""

from __future__ import annotations

import ctypes
import os
import sys
from collections.abc import Mapping
from pathlib import Path

LIBRARY_ENV = "LINKRATE_LIBRARY"


def library_file(system: str = sys.platform) -> str:
    """The library's file name on `system` (a sys.platform value): the DLL on
    Windows, the versioned name of ABI 2 elsewhere."""
    if system == "win32" or system == "cygwin":
        return "tarnwell-linkrate.dll"
    if system == "darwin":
        return "libtarnwell-linkrate.2.dylib"
    return "libtarnwell-linkrate.so.2"


LIBRARY_FILE = library_file()

# The library's progress callback: phase text, value, percent.
TickCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_double, ctypes.c_int32)


def _installed_library_dir() -> Path | None:
    """The library folder of the prefix the module was installed into, which
    the install records in _install.py beside the module (absent in the
    source tree)."""
    try:
        from ._install import LIBRARY_DIR
    except ImportError:
        return None
    return (Path(__file__).resolve().parent / LIBRARY_DIR).resolve()


def candidates(environ: Mapping[str, str] = os.environ) -> list[str]:
    """Where the library is looked for, in order. $LINKRATE_LIBRARY, when set,
    is the only place: a library named on purpose is never swapped for
    another one without a word."""
    from_env = environ.get(LIBRARY_ENV)
    if from_env:
        return [from_env]
    found = []
    for folder in (Path(__file__).resolve().parent, _installed_library_dir()):
        if folder is not None and (folder / LIBRARY_FILE).is_file():
            found.append(str(folder / LIBRARY_FILE))
    found.append(LIBRARY_FILE)  # the system's loader
    return found


def load() -> ctypes.CDLL:
    """Loads the library and declares the fourteen calls' prototypes."""
    errors = []
    for candidate in candidates():
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as exc:
            errors.append(f"{candidate}: {exc}")
    else:
        if os.environ.get(LIBRARY_ENV):
            raise ImportError(f"cannot load the linkrate library named by {LIBRARY_ENV} ({errors[0]})")
        raise ImportError(
            "cannot load the linkrate library; install it, or set "
            f"{LIBRARY_ENV} to its path ({'; '.join(errors)})"
        )

    i32, dbl, text = ctypes.c_int32, ctypes.c_double, ctypes.c_char_p
    prototypes = {
        "linkrate_init": (i32, []),
        "linkrate_cleanup": (None, []),
        "linkrate_start_server": (i32, [i32]),
        "linkrate_stop_server": (None, []),
        "linkrate_ping": (dbl, [text, i32, i32]),
        "linkrate_download": (dbl, [text, i32, i32]),
        "linkrate_upload": (dbl, [text, i32, i32]),
        "linkrate_run_all": (i32, [text, i32, i32]),
        "linkrate_internet_run": (i32, [text]),
        "linkrate_result_json": (text, []),
        "linkrate_version": (text, []),
        "linkrate_set_tick": (None, [TickCallback]),
        "linkrate_cancel": (None, []),
        "linkrate_last_error": (text, []),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib
