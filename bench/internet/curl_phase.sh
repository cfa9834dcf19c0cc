#!/usr/bin/env bash
# One throughput phase done by curl the way the library's internet run does
# it: LOOPS loops run in parallel for 3 s, each repeating its request until
# the 3 s are up (the last one cut off by --max-time):
#   download  GET  BASE/garbage?ckSize=25, counting body bytes received
#   upload    POST BASE/empty with a 10 MiB body of 'Z', counting bytes sent
#   delivered POST as upload, but as the library posts: bodies sent at once
#             (-H 'Expect:'), one after another on one kept connection per
#             loop (one curl process with many URLs); counts the bytes the
#             server acknowledged by the end of the 3 s: the kernel's
#             bytes_acked (ss -ti) of each connection still open then, and
#             the bodies of each one already closed (all of them acked).
#             The loops are stopped 0.3 s past the end, so that no
#             connection is cut off before it is read. Needs ss.
# The rate is all bytes of all loops over 3 s. Prints "mbps cpu_seconds"
# (the loops' user + system CPU time).
# Usage: curl_phase.sh download|upload|delivered LOOPS BASE_URL [CURL_OPTION...]
set -euo pipefail
usage="usage: curl_phase.sh download|upload|delivered LOOPS BASE_URL [CURL_OPTION...]"
(($# >= 3)) || { echo "$usage" >&2; exit 2; }
kind=$1 loops=$2 base=$3
shift 3
extra=("$@")
[[ $kind == download || $kind == upload || $kind == delivered ]] ||
  { echo "curl_phase: unknown kind '$kind'" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-curl.XXXXXX")
trap 'rm -rf "$work"' EXIT
[[ $kind == download ]] || head -c 10485760 /dev/zero | tr '\0' 'Z' >"$work/body"

now_us() { echo "${EPOCHREALTIME/./}"; }

# seconds_until US: the time from now until the clock reads US, as
# "s.uuuuuu" (0.000000 once it has passed).
seconds_until() {
  local left_us=$(($1 - $(now_us)))
  ((left_us > 0)) || left_us=0
  printf '%d.%06d' $((left_us / 1000000)) $((left_us % 1000000))
}

# One loop: repeats the request until 3 s have passed since $1 (in us);
# prints the bytes it moved (delivered: "local_port body_bytes" per request).
curl_loop() {
  local end_us=$(($1 + 3000000)) total=0 left size i posts=()
  if [[ $kind == delivered ]]; then
    for ((i = 0; i < 200; i++)); do posts+=(-o /dev/null "$base/empty"); done
    timeout "$(seconds_until $((end_us + 300000)))" curl "${extra[@]}" --http1.1 -s -H 'Expect:' \
      -w '%{local_port} %{size_upload}\n' --data-binary @"$work/body" "${posts[@]}" || true
    return 0
  fi
  while :; do
    (($(now_us) < end_us)) || break
    left=$(seconds_until "$end_us")
    case $kind in
      download)
        size=$(curl "${extra[@]}" --http1.1 -s -o /dev/null -w '%{size_download}\n' \
          --max-time "$left" "$base/garbage?ckSize=25" || true) ;;
      upload)
        size=$(curl "${extra[@]}" --http1.1 -s -o /dev/null -w '%{size_upload}\n' \
          --max-time "$left" --data-binary @"$work/body" "$base/empty" || true) ;;
    esac
    total=$((total + ${size:-0}))
  done
  echo "$total"
}

# acked: "local_port bytes_acked" of each connection to the server that has
# TCP state (closed ones in TIME-WAIT have none, and were wholly acknowledged).
acked() {
  local host_port=${base#*://}
  host_port=${host_port%%/*}
  ss -tinH dst "$host_port" | awk '
    /^[A-Z]/ { n = split($4, a, ":"); port = a[n]; next }
    { if (match($0, /bytes_acked:[0-9]+/)) print port, substr($0, RSTART + 12, RLENGTH - 12) }'
}

# Connections left by earlier runs are not this one's.
[[ $kind != delivered ]] || acked >"$work/before"
start=$(now_us)
TIMEFORMAT='%U %S'
{
  time {
    for ((i = 0; i < loops; i++)); do curl_loop "$start" >"$work/loop.$i" & done
    if [[ $kind == delivered ]]; then
      sleep "$(seconds_until $((start + 3000000)))"
      acked >"$work/acked"
    fi
    wait
  }
} 2>"$work/cpu"
if [[ $kind == delivered ]]; then
  # A connection that still had state at the end counts what it had had
  # acknowledged then (all its requests, once); one already closed counts
  # the bodies of its finished requests.
  bytes=$(cat "$work"/loop.* | awk -v acked="$work/acked" -v before="$work/before" '
    BEGIN { while ((getline line < before) > 0) { split(line, f, " "); old[f[1]] = 1 }
      while ((getline line < acked) > 0) { split(line, f, " "); if (!(f[1] in old)) a[f[1]] = f[2] } }
    NF == 2 && !($1 in a) { total += $2 }
    END { for (port in a) total += a[port]; printf "%.0f\n", total }')
else
  bytes=0
  for ((i = 0; i < loops; i++)); do bytes=$((bytes + $(cat "$work/loop.$i"))); done
fi
awk -v b="$bytes" -v c="$(awk '{ print $1 + $2 }' "$work/cpu")" 'BEGIN { printf "%.3f %.4f\n", b * 8 / 3e6, c }'
