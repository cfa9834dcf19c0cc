#!/usr/bin/env bash
# Runs the windows preset's tests under Wine, in the build folder's own Wine
# prefix: made and its server held before the tests, with Wine's output sent
# away, and that prefix's server and programs ended after them, whatever the
# outcome. Extra arguments go to ctest.
# Usage: scripts/wine-tests.sh [ctest options...]
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=$PWD/build/windows/wine-prefix
trap 'cmake/wine-prefix.sh stop' EXIT
cmake/wine-prefix.sh start
ctest --preset windows "$@"
