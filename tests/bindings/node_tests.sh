#!/usr/bin/env bash
# The Node binding's tests: the package installed from the tree with npm (its
# koffi dependency from the registry) into a folder of the build tree, run by
# node --test against the built library.
# Usage: node_tests.sh INSTALL_DIR LIBRARY
set -euo pipefail
test_name=node_binding
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/bindings/skip.sh
source "$here/skip.sh"
install_dir=$1 library=$2
root=$(cd "$here/../.." && pwd)

command -v node >/dev/null || binding_skip "node is missing (scripts/setup.sh)"
command -v npm >/dev/null || binding_skip "npm is missing (scripts/setup.sh)"

# A fresh install every time: npm may keep an earlier copy of the same
# version, and the tests would then run yesterday's code.
rm -rf "$install_dir"
mkdir -p "$install_dir"
# A copy, not a link to the source tree, as a host's npm install makes it.
(cd "$install_dir" && npm install --no-audit --no-fund --no-save --install-links \
  --loglevel=error "$root/bindings/node" >/dev/null)

LINKRATE_LIBRARY="$library" NODE_PATH="$install_dir/node_modules" \
  node --test "$root"/bindings/node/test/*.test.js
