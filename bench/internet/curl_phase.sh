#!/usr/bin/env bash
# One throughput phase done by curl the way the library's internet run does
# it: LOOPS loops run in parallel for 3 s, each repeating its request until
# the 3 s are up (the last one cut off by --max-time):
#   download  GET  BASE/garbage?ckSize=25, counting body bytes received
#   upload    POST BASE/empty with a 10 MiB body of 'Z', counting bytes sent
# The rate is all bytes of all loops over 3 s. Prints "mbps cpu_seconds"
# (the loops' user + system CPU time).
# Usage: curl_phase.sh download|upload LOOPS BASE_URL [CURL_OPTION...]
set -euo pipefail
(($# >= 3)) || { echo "usage: curl_phase.sh download|upload LOOPS BASE_URL [CURL_OPTION...]" >&2; exit 2; }
kind=$1 loops=$2 base=$3
shift 3
extra=("$@")
[[ $kind == download || $kind == upload ]] || { echo "curl_phase: unknown kind '$kind'" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-curl.XXXXXX")
trap 'rm -rf "$work"' EXIT
[[ $kind == download ]] || head -c 10485760 /dev/zero | tr '\0' 'Z' >"$work/body"

now_us() { echo "${EPOCHREALTIME/./}"; }

# One loop: repeats the request until 3 s have passed since $1 (in us);
# prints the bytes it moved.
curl_loop() {
  local end_us=$(($1 + 3000000)) total=0 left_us left size
  while :; do
    left_us=$((end_us - $(now_us)))
    ((left_us > 0)) || break
    left=$(printf '%d.%06d' $((left_us / 1000000)) $((left_us % 1000000)))
    if [[ $kind == download ]]; then
      size=$(curl "${extra[@]}" --http1.1 -s -o /dev/null -w '%{size_download}\n' \
        --max-time "$left" "$base/garbage?ckSize=25" || true)
    else
      size=$(curl "${extra[@]}" --http1.1 -s -o /dev/null -w '%{size_upload}\n' \
        --max-time "$left" --data-binary @"$work/body" "$base/empty" || true)
    fi
    total=$((total + ${size:-0}))
  done
  echo "$total"
}

start=$(now_us)
TIMEFORMAT='%U %S'
{
  time {
    for ((i = 0; i < loops; i++)); do curl_loop "$start" >"$work/loop.$i" & done
    wait
  }
} 2>"$work/cpu"
bytes=0
for ((i = 0; i < loops; i++)); do bytes=$((bytes + $(cat "$work/loop.$i"))); done
awk -v b="$bytes" -v c="$(awk '{ print $1 + $2 }' "$work/cpu")" 'BEGIN { printf "%.3f %.4f\n", b * 8 / 3e6, c }'
