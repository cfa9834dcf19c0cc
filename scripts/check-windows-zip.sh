#!/usr/bin/env bash
# Makes the Windows zip from the windows preset's build, checks that it holds
# what a Windows host needs (and no compiler run-time DLL), then unpacks it,
# builds the C example host against it through find_package with the cross
# compiler, and runs that host and the zip's program under Wine from the
# unpacked folder alone.
# Usage: check-windows-zip.sh [BUILD_DIR (default build/windows)]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build/windows}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/packages/tarnwell-linkrate-*-win64.zip)
top=$(basename "$zip" .zip)
cmake -E tar tf "$zip" >"$work/listing"

missing=0
for entry in bin/tarnwell-linkrate.dll bin/libcurl.dll bin/linkrate.exe lib/tarnwell-linkrate.dll.a \
  include/tarnwell/linkrate.h lib/cmake/tarnwell-linkrate/tarnwell-linkrateConfig.cmake \
  lib/pkgconfig/tarnwell-linkrate.pc LICENSE.txt COPYING-curl.txt; do
  grep -qx "$top/$entry" "$work/listing" || { echo "check-windows-zip: $entry is missing" >&2; missing=1; }
done
if grep -Eiq '(libgcc|libstdc\+\+|libwinpthread)[^/]*\.dll$' "$work/listing"; then
  echo "check-windows-zip: a compiler run-time DLL is in the zip" >&2
  missing=1
fi
((missing == 0)) || { cat "$work/listing" >&2; exit 1; }

(cd "$work" && cmake -E tar xf "$zip")
prefix=$work/$top
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(tarnwell-linkrate 2 REQUIRED)
add_executable(host "$root/examples/example_host.c")
target_link_libraries(host PRIVATE tarnwell::linkrate ws2_32)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -Dtarnwell-linkrate_DIR="$prefix/lib/cmake/tarnwell-linkrate" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
cp "$work/consumer/build/host.exe" "$prefix/bin/"

export WINEPREFIX=$build/wine-prefix
source "$root/cmake/wine-env.sh"
"$root/cmake/wine-prefix.sh" start
# Run where only the zip's own DLLs are: beside the host in bin/.
(cd "$prefix/bin" && wine host.exe 0 300) \
  >"$work/run.log" 2>&1 || { cat "$work/run.log" >&2; exit 1; }
grep -q '"phase":"complete"' "$work/run.log" || { cat "$work/run.log" >&2; exit 1; }
(cd "$prefix/bin" && wine linkrate.exe --json demo \
  --duration 300) >"$work/program.log" 2>&1 || { cat "$work/program.log" >&2; exit 1; }
grep -q '"phase":"complete"' "$work/program.log" || { cat "$work/program.log" >&2; exit 1; }
echo "check-windows-zip: $(basename "$zip") holds the DLL, its libcurl, the program, the import" \
  "library, the header, the CMake package and the licences; a host built against it and the" \
  "program run under Wine"
