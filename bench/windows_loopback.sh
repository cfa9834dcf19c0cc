#!/usr/bin/env bash
# The Windows DLL under Wine beside the Linux build, on loopback, in one run:
# `linkrate demo` (built-in server on a free loopback port, then ping,
# download and upload against it) of both builds in interleaved rounds. Per
# round both builds' figures, then the medians and the ratio Wine / Linux.
# Wine is not Windows: the figures only show that nothing in the port is
# slow by design.
# Usage: bench/windows_loopback.sh [rounds (default 5)] [duration_ms (default 2000)]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
duration=${2:-2000}

scripts/setup.sh build windows >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target linkrate >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target linkrate >/dev/null
export WINEPREFIX=$PWD/build/windows/wine-prefix
trap 'cmake/wine-prefix.sh stop' EXIT
cmake/wine-prefix.sh start

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-windows-bench.XXXXXX")
trap 'cmake/wine-prefix.sh stop; rm -rf "$work"' EXIT

field() { sed -E "s/.*\"$1\":([0-9.eE+-]+).*/\\1/" <<<"$2"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-6s %-6s %10s %14s %14s\n' round build ping_ms download_mbps upload_mbps
for ((i = 1; i <= rounds; i++)); do
  for build in linux wine; do
    if [[ $build == linux ]]; then
      json=$(build/default/cli/linkrate --json demo --duration "$duration")
    else
      json=$(cmake/wine-run.sh build/windows/bin/linkrate.exe --json demo --duration "$duration")
    fi
    for f in ping_ms download_mbps upload_mbps; do field "$f" "$json" >>"$work/$build.$f"; done
    printf '%-6s %-6s %10.3f %14.0f %14.0f\n' "$i" "$build" "$(field ping_ms "$json")" \
      "$(field download_mbps "$json")" "$(field upload_mbps "$json")"
  done
done
echo
printf '%-14s %10s %10s %8s\n' median linux wine ratio
for f in ping_ms download_mbps upload_mbps; do
  l=$(median <"$work/linux.$f")
  w=$(median <"$work/wine.$f")
  printf '%-14s %10.3f %10.3f %8.3f\n' "$f" "$l" "$w" "$(awk -v a="$w" -v b="$l" 'BEGIN { print a / b }')"
done
