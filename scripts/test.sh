#!/usr/bin/env bash
# Sets up and runs the whole test suite: the default preset runs every test
# (the stress label and the memcheck runs of label valgrind among them), the
# asan and tsan presets every test not labelled slow; then a tiny C host is
# built against an installed tree. Usage: scripts/test.sh [preset...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
((${#presets[@]})) || presets=(default asan tsan)
jobs=$(nproc)

for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done

if [[ " ${presets[*]} " == *" default "* ]]; then
  echo "=== consuming the installed library"
  scripts/check-install.sh build/default
fi
