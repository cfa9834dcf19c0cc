#!/usr/bin/env bash
# Whether the loaded-latency probes change what they measure: on the lab's
# 100 Mbit/s link (10 ms each way), `linkrate lan` and `linkrate internet`
# with the probes and without (--no-loaded-latency), in interleaved rounds.
# Prints each round and, per test and direction, the median with and without
# probes and the run-to-run spread (max - min) of each.
# Usage: bench/loaded_probes.sh [ROUNDS (default 5)]     (as root)
set -euo pipefail
rounds=${1:-5}
repo=$(cd "$(dirname "$0")/.." && pwd)
linkrate=${LINKRATE:-$repo/build/default/cli/linkrate}
netlab=$repo/bench/netlab
readonly far=198.18.0.2 port=7878 http_port=8080
[[ -x $linkrate ]] || { echo "build first: cmake --build --preset default" >&2; exit 1; }

lab=loaded-probes-$$
nl() { "$netlab" --name "$lab" "$@"; }
work=$(mktemp -d)
trap 'nl down >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
nl up --owner $$ --rate 100mbit --delay 10ms >/dev/null
nl exec far timeout 3600 "$linkrate" serve --port "$port" >"$work/serve.log" 2>&1 &
nl exec far timeout 3600 "$repo/tests/support/nginx-fixture.sh" --port "$http_port" --address "$far" \
  --dir "$work/nginx" >"$work/nginx.log" 2>&1 &
for ((i = 0; i < 200; i++)); do
  grep -q '^Serving' "$work/serve.log" &&
    nl exec near timeout 1 bash -c "exec 3<>/dev/tcp/$far/$http_port" 2>/dev/null && break
  sleep 0.1
done

: >"$work/rounds"
for ((r = 1; r <= rounds; r++)); do
  for probes in with without; do
    flag=()
    [[ $probes == without ]] && flag=(--no-loaded-latency)
    for test in lan internet; do
      target="$far:$port"
      [[ $test == internet ]] && target="http://$far:$http_port"
      json=$(nl exec near timeout 60 "$linkrate" "$test" "$target" --json "${flag[@]}")
      down=$(jq -r .download_mbps <<<"$json") up=$(jq -r .upload_mbps <<<"$json")
      printf 'round %d %-8s %-7s probes: down %7.2f Mbit/s, up %7.2f Mbit/s\n' "$r" "$test" "$probes" "$down" "$up"
      echo "$test $probes $down $up" >>"$work/rounds"
      sleep 1
    done
  done
done

echo
echo "test      direction  median with  median without  spread with  spread without  (Mbit/s)"
for test in lan internet; do
  for col in 3 4; do
    [[ $col == 3 ]] && dir=down || dir=up
    stats() { # stats with|without: median and spread of the column
      awk -v t="$test" -v p="$1" -v c="$col" '$1 == t && $2 == p { print $c }' "$work/rounds" | sort -g |
        awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
          printf "%.2f %.2f\n", m, v[NR] - v[1] }'
    }
    read -r mw sw <<<"$(stats with)"
    read -r mo so <<<"$(stats without)"
    printf '%-9s %-10s %11s %15s %12s %15s\n' "$test" "$dir" "$mw" "$mo" "$sw" "$so"
  done
done
