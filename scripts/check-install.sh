#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds the C example host
# against it twice, through pkg-config and through find_package, then runs it.
# With --installed, builds against what is installed in PREFIX already (the
# Debian packages put it in /usr).
# Usage: check-install.sh [BUILD_DIR (default build/default)]
#        check-install.sh --installed PREFIX
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ "${1:-}" == --installed ]]; then
  prefix=${2:?check-install: --installed needs a prefix}
else
  prefix=$work/prefix
  cmake --install "${1:-build/default}" --prefix "$prefix" >/dev/null
fi
pc=$(find "$prefix/lib" "$prefix/share" -path '*/pkgconfig/tarnwell-linkrate.pc' 2>/dev/null |
  head -n 1) || true
[[ -n "$pc" ]] || { echo "check-install: no tarnwell-linkrate.pc under $prefix" >&2; exit 1; }
libdir=$(cd "$(dirname "$pc")/.." && pwd -P)

# pkg-config, plain cc.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c11 -Wall -Wextra -Werror "$root/examples/example_host.c" -o "$work/host-pc" \
  $(pkg-config --cflags --libs tarnwell-linkrate) -Wl,-rpath,"$libdir"

# find_package(tarnwell-linkrate), imported target tarnwell::linkrate.
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(tarnwell-linkrate 2 REQUIRED)
add_executable(host-cmake "$root/examples/example_host.c")
target_link_libraries(host-cmake PRIVATE tarnwell::linkrate)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

# examples/ on its own, as a user builds it against the installed tree.
cmake -S "$root/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/examples" >/dev/null
"$work/examples/example_host" 0 200 >"$work/examples.log" 2>&1 ||
  { cat "$work/examples.log" >&2; exit 1; }
grep -q '"phase":"complete"' "$work/examples.log" || { cat "$work/examples.log" >&2; exit 1; }

# The loader may name the library by another path to the same file (/lib
# for /usr/lib on a merged /usr).
for host in "$work/host-pc" "$work/consumer/build/host-cmake" "$work/examples/example_host"; do
  loaded=$(ldd "$host" | awk '$1 == "libtarnwell-linkrate.so.2" { print $3 }')
  [[ -n "$loaded" && "$(readlink -f "$loaded")" == "$(readlink -f "$libdir/libtarnwell-linkrate.so.2")" ]] || {
    echo "check-install: $host does not load the installed library" >&2
    exit 1
  }
done
echo "check-install: the installed library builds and links from C (pkg-config and CMake," \
  "and examples/ on its own)"
