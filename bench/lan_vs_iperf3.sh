#!/usr/bin/env bash
# LAN throughput on loopback, the library against iperf3 single stream with
# the same block and buffer sizes, alternating runs; prints medians, the
# ratio library/iperf3 and the client's CPU seconds per gigabyte.
#   bench/lan_vs_iperf3.sh [ROUNDS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
seconds=${2:-3}

scripts/setup.sh build bench
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target linkrate_bench_host >/dev/null
host_bin=build/default/bench/linkrate_bench_host

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
lib_port=$(free_port)
iperf_port=$(free_port)

# The library's server reads its standard input until it closes.
coproc SERVER { exec "$host_bin" serve "$lib_port"; }
read -r _ <&"${SERVER[0]}"
iperf3 -s -p "$iperf_port" >/dev/null 2>&1 &
iperf_pid=$!
trap 'exec {SERVER[1]}>&-; kill $iperf_pid 2>/dev/null; wait' EXIT
sleep 0.5

work=$(mktemp -d)
TIMEFORMAT='%U %S'
# run NAME COMMAND...: appends "rate_mbps cpu_seconds" to $work/NAME.
run() {
  local name=$1 cpu rate
  shift
  { time "$@" >"$work/out" 2>/dev/null; } 2>"$work/cpu"
  cpu=$(awk '{print $1 + $2}' "$work/cpu")
  case $name in
    lib_*) rate=$(cat "$work/out") ;;
    *) rate=$(jq '.end.sum_received.bits_per_second / 1e6' "$work/out") ;;
  esac
  echo "$rate $cpu" >>"$work/$name"
}

ms=$((seconds * 1000))
for ((i = 1; i <= rounds; i++)); do
  run lib_download "$host_bin" download 127.0.0.1 "$lib_port" "$ms"
  run iperf_download iperf3 -c 127.0.0.1 -p "$iperf_port" -l 64K -w 512K -t "$seconds" -R -J
  run lib_upload "$host_bin" upload 127.0.0.1 "$lib_port" "$ms"
  run iperf_upload iperf3 -c 127.0.0.1 -p "$iperf_port" -l 64K -w 512K -t "$seconds" -J
done

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
# CPU seconds per gigabyte moved: cpu / (rate Mbit/s x seconds / 8000).
cpu_per_gb() { awk -v s="$seconds" '{print $2 / ($1 * s / 8000)}' "$1" | median; }

printf '%-9s %12s %12s %7s %14s %14s\n' direction "lib Mbit/s" "iperf3 Mbit/s" ratio "lib CPU s/GB" "iperf3 CPU s/GB"
for dir in download upload; do
  lib=$(cut -d' ' -f1 "$work/lib_$dir" | median)
  ip=$(cut -d' ' -f1 "$work/iperf_$dir" | median)
  printf '%-9s %12.0f %12.0f %7.2f %14.3f %14.3f\n' "$dir" "$lib" "$ip" \
    "$(awk -v a="$lib" -v b="$ip" 'BEGIN {print a / b}')" \
    "$(cpu_per_gb "$work/lib_$dir")" "$(cpu_per_gb "$work/iperf_$dir")"
done
echo "($rounds alternating rounds of $seconds s each; medians; client CPU user+system)"
rm -rf "$work"
