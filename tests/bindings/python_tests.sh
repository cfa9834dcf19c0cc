#!/usr/bin/env bash
# The Python binding's tests: the module installed from the build tree into a
# temporary prefix (its install component), run by Debian's python3 and pytest
# against the built library.
# Usage: python_tests.sh BUILD_DIR PYTHON_INSTALL_DIR LIBRARY
set -euo pipefail
test_name=python_binding
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/bindings/skip.sh
source "$here/skip.sh"
build=$1 python_dir=$2 library=$3
root=$(cd "$here/../.." && pwd)

python=/usr/bin/python3
[[ -x $python ]] || binding_skip "$python is missing (scripts/setup.sh)"
"$python" -c 'import pytest' 2>/dev/null || binding_skip "python3-pytest is missing (scripts/setup.sh)"

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-python.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The library too, so that the module's own look into its prefix is tested.
for component in python lib; do
  cmake --install "$build" --component $component --prefix "$work/prefix" >/dev/null
done
module_dir="$work/prefix/$python_dir"
[[ -f $module_dir/linkrate/__init__.py ]] || { echo "$test_name: the install put no module in $module_dir" >&2; exit 1; }

cd "$work"
PYTHONPATH="$module_dir" LINKRATE_LIBRARY="$library" LINKRATE_TEST_PREFIX="$work/prefix" PYTHONDONTWRITEBYTECODE=1 \
  "$python" -m pytest -q -p no:cacheprovider --rootdir "$work" "$root/bindings/python/tests"
