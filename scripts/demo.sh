#!/usr/bin/env bash
# The main job on an embedded default: installs what is missing, builds the
# library and the linkrate program, then runs `linkrate demo`: the built-in
# server on a free loopback port and the full LAN test against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target linkrate >/dev/null
exec build/default/cli/linkrate demo "$@"
