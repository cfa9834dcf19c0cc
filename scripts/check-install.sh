#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds the C example host
# against it twice, through pkg-config and through find_package, then runs it.
set -euo pipefail
build=${1:-build/default}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libtarnwell-linkrate.so' | head -n 1)")

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
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

for host in "$work/host-pc" "$work/consumer/build/host-cmake"; do
  deps=$(ldd "$host")
  [[ "$deps" == *"$libdir/libtarnwell-linkrate.so.2 "* ]] || {
    echo "check-install: $host does not load the installed library" >&2
    exit 1
  }
done
echo "check-install: the installed library builds and links from C (pkg-config and CMake)"
