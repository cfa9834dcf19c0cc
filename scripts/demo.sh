#!/usr/bin/env bash
# The main job on an embedded default: installs what is missing, builds the
# library, starts its built-in server on a free loopback port and runs the full
# LAN test against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target example_host >/dev/null
exec build/default/examples/example_host
