#!/usr/bin/env python3
"""A live internet run from Python: internet_run.py BASE_URL (Ctrl-C stops it)."""
import sys

import linkrate

UNITS = {"ping": "ms", "download": "Mbit/s", "upload": "Mbit/s", "complete": "Mbit/s"}


def on_tick(phase: str, value: float, percent: int) -> None:
    print(f"\r{phase:<9}{percent:4d}% {value:12.2f} {UNITS[phase]}  ", end="", flush=True)


try:
    result = linkrate.internet(sys.argv[1], on_tick)
except linkrate.LinkrateError as error:
    sys.exit(f"\nlinkrate: {error}")
except KeyboardInterrupt:
    sys.exit("\ninterrupted")
print(f"\nlatency {result.ping_ms:.3f} ms, jitter {result.jitter_ms:.3f} ms")
for phase in ("download", "upload"):
    rate = getattr(result, f"{phase}_mbps")
    print(f"{phase} {'not measured' if phase in result.failed else f'{rate:.1f} Mbit/s'}")
