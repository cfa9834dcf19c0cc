#!/usr/bin/env bash
# Sets up and runs the whole test suite: the default preset runs every test
# (the stress, valgrind and lab labels among them), the asan and tsan presets
# every test not labelled slow or lab, the fuzz preset runs each fuzz target
# for a minute, the windows preset builds the DLL for 64-bit Windows and runs
# its tests under Wine; then a tiny C host is built against an installed tree, the
# README's and docs' steps are run as written, and
# the Debian packages are built, installed, used and removed again. The
# format and static-analysis checks run on the default preset's build.
# Usage: scripts/test.sh [preset...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
((${#presets[@]})) || presets=(default asan tsan fuzz windows)
jobs=$(nproc)

for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  preset_start=$SECONDS
  if [[ "$preset" == fuzz ]]; then
    scripts/fuzz.sh 60
    continue
  fi
  if [[ "$preset" == windows ]]; then
    scripts/setup.sh windows
    # The Windows tests' Linux peers come from the default preset's build.
    if [[ ! -x build/default/cli/linkrate ]]; then
      cmake --preset default >/dev/null
      cmake --build --preset default -j "$jobs" --target linkrate
    fi
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [[ "$preset" == default ]]; then
    echo "=== style checks"
    scripts/lint.sh build/default
  fi
  if [[ "$preset" == windows ]]; then
    scripts/wine-tests.sh
    echo "=== the Windows zip: made, unpacked, built against and run"
    scripts/check-windows-zip.sh build/windows
  else
    ctest --preset "$preset"
  fi
  echo "=== preset $preset took $((SECONDS - preset_start)) s"
done

if [[ " ${presets[*]} " == *" default "* ]]; then
  echo "=== consuming the installed library"
  scripts/check-install.sh build/default
  echo "=== the README's and docs' steps, as written (walled off)"
  /usr/bin/python3 tests/docs/doc_blocks.py . || (($? == 77)) # 77: skipped (not root)
  echo "=== the Debian packages: build, lintian, install, use, remove"
  scripts/check-packages.sh
fi
