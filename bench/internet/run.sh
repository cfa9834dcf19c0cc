#!/usr/bin/env bash
# The internet run against curl, side by side against one nginx on loopback.
# Each round runs the library once (its 3 s download and 3 s upload phases),
# then curl the same way: four loops of GET /garbage?ckSize=25 for 3 s, then
# two loops of POST /empty with a 10 MiB body of 'Z' for 3 s; a curl rate is
# all bytes of all loops over 3 s. Prints each round, the medians, the ratio
# library/curl and the client CPU seconds per gigabyte moved.
# Usage: bench/internet/run.sh [rounds (default 5)] [http|https (default http)]
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-5}
scheme=${2:-http}

scripts/setup.sh build bench
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target internet_bench_host >/dev/null
host=build/default/bench/internet/internet_bench_host

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-bench.XXXXXX")
source tests/support/nginx-fixture-start.sh
trap 'nginx_fixture_stop; rm -rf "$work"' EXIT
nginx_fixture_start "$work/nginx" || { cat "$work/nginx.log" >&2; exit 1; }
http_port=$nginx_http_port tls_port=$nginx_tls_port
if [[ "$scheme" == https ]]; then base="https://127.0.0.1:$tls_port"; else base="http://127.0.0.1:$http_port"; fi
curl_tls=()
[[ "$scheme" != https ]] || curl_tls=(-k)
curl_phase() { bench/internet/curl_phase.sh "$1" "$2" "$base" "${curl_tls[@]}"; }

printf '%-6s %12s %12s %12s %12s\n' round lib_down curl_down lib_up curl_up
: >"$work/rounds"
for ((r = 1; r <= rounds; r++)); do
  read -r lib_down lib_up lib_cpu_down lib_cpu_up < <("$host" "$base")
  read -r curl_down curl_cpu_down < <(curl_phase download 4)
  read -r curl_up curl_cpu_up < <(curl_phase upload 2)
  printf '%-6s %12.1f %12.1f %12.1f %12.1f\n' "$r" "$lib_down" "$curl_down" "$lib_up" "$curl_up"
  echo "$lib_down $curl_down $lib_up $curl_up $lib_cpu_down $curl_cpu_down $lib_cpu_up $curl_cpu_up" \
    >>"$work/rounds"
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
col() { awk -v c="$1" '{ print $c }' "$work/rounds" | median; }
# CPU seconds per gigabyte of one round's phase: cpu / (mbps * 3 s / 8 / 1000).
cpu_per_gb() { awk -v c="$1" -v m="$2" '{ print $c / ($m * 3 / 8 / 1000) }' "$work/rounds" | median; }

lib_down=$(col 1) curl_down=$(col 2) lib_up=$(col 3) curl_up=$(col 4)
echo
echo "medians over $rounds rounds against nginx at $base (Mbit/s):"
awk -v ld="$lib_down" -v cd="$curl_down" -v lu="$lib_up" -v cu="$curl_up" \
  -v lcd="$(cpu_per_gb 5 1)" -v ccd="$(cpu_per_gb 6 2)" -v lcu="$(cpu_per_gb 7 3)" -v ccu="$(cpu_per_gb 8 4)" \
  'BEGIN {
     printf "  %-9s %12s %12s %8s %14s %14s\n", "", "library", "curl", "ratio", "lib cpu s/GB", "curl cpu s/GB"
     printf "  %-9s %12.1f %12.1f %8.2f %14.3f %14.3f\n", "download", ld, cd, ld / cd, lcd, ccd
     printf "  %-9s %12.1f %12.1f %8.2f %14.3f %14.3f\n", "upload", lu, cu, lu / cu, lcu, ccu
   }'
