#!/usr/bin/env bash
# What the speed-test server costs: nginx with the shipped site files (the
# nginx fixture, one worker) serves `linkrate internet` runs on loopback,
# while the CPU time (user + system) of its processes is sampled every 50 ms.
# Per run, the CPU seconds per gigabyte it served in the download phase
# (GET /garbage, sendfile) and took in the upload phase (POST /empty, read and
# dropped) are printed, then their medians. The phases are told apart by the
# run's own progress reports.
# Usage: bench/server_cpu.sh [runs (default 5)] [http|https (default http)]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
scheme=${2:-http}

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target linkrate >/dev/null
linkrate=build/default/cli/linkrate

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-server-cpu.XXXXXX")
source tests/support/nginx-fixture-start.sh
trap 'nginx_fixture_stop; rm -rf "$work"' EXIT
nginx_fixture_start "$work/nginx" || { cat "$work/nginx.log" >&2; exit 1; }
base="http://127.0.0.1:$nginx_http_port"
[[ "$scheme" != https ]] || base="https://127.0.0.1:$nginx_tls_port"

master=$(cat "$work/nginx/nginx.pid")
hz=$(getconf CLK_TCK)
# CPU clock ticks used so far by nginx's master and workers.
nginx_ticks() {
  local pid total=0 stat
  for pid in "$master" $(pgrep -P "$master"); do
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
    stat=${stat##*) }
    read -r -a f <<<"$stat"
    total=$((total + f[11] + f[12]))
  done
  echo "$total"
}

printf '%-4s %10s %10s %14s %14s\n' run down_mbps up_mbps down_cpu_s/GB up_cpu_s/GB
: >"$work/results"
for ((r = 1; r <= runs; r++)); do
  start=$(date +%s.%N)
  (while :; do echo "$(date +%s.%N) $(nginx_ticks)"; sleep 0.05; done) >"$work/samples" &
  sampler=$!
  json=$("$linkrate" internet "$base" --json --ticks "$work/ticks")
  kill "$sampler"
  wait "$sampler" 2>/dev/null || true
  # The upload phase began about one report interval (0.09 s) before its
  # first report.
  cut=$(jq -rs 'map(select(.phase == "upload")) | .[0].t - 0.09' "$work/ticks")
  down=$(jq -r .download_mbps <<<"$json") up=$(jq -r .upload_mbps <<<"$json")
  awk -v start="$start" -v cut="$cut" -v hz="$hz" -v down="$down" -v up="$up" -v run="$r" '
    { t = $1 - start; if (NR == 1) first = $2
      if (t <= cut) at_cut = $2
      last = $2 }
    END {
      down_gb = down * 3 / 8 / 1000; up_gb = up * 3 / 8 / 1000
      d = (at_cut - first) / hz / down_gb; u = (last - at_cut) / hz / up_gb
      printf "%-4s %10.0f %10.0f %14.3f %14.3f\n", run, down, up, d, u
    }' "$work/samples" | tee -a "$work/results"
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo
echo "medians over $runs runs against nginx at $base (one worker):"
echo "  download: $(awk '{ print $2 }' "$work/results" | median) Mbit/s," \
  "$(awk '{ print $4 }' "$work/results" | median) CPU s per GB served"
echo "  upload:   $(awk '{ print $3 }' "$work/results" | median) Mbit/s," \
  "$(awk '{ print $5 }' "$work/results" | median) CPU s per GB taken"
