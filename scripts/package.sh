#!/usr/bin/env bash
# Builds the Debian packages (libtarnwell-linkrate2, libtarnwell-linkrate-dev,
# linkrate, linkrate-server, and python3-tarnwell-linkrate when the Python
# binding is built) into BUILD_DIR/packages, with Debian's compiler and
# linker flags and the /usr prefix; scripts/setup.sh installs what it needs.
# Usage: scripts/package.sh [BUILD_DIR (default build/package)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
scripts/setup.sh

# Debian's hardening flags; CMake reads them from the environment when it
# first configures a build folder.
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DLINKRATE_PACKAGE_DEB=ON -DLINKRATE_BUILD_TESTS=OFF -DLINKRATE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/*.deb
