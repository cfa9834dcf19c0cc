#!/usr/bin/env bash
# The accuracy run in small: one round of bench/accuracy on one link with
# 2 s transfers must produce every figure of the table and a plot, and leave
# no lab behind; a run stopped with SIGTERM in its first round must leave no
# lab, no namespace and no process of its own behind either.
#
# Usage: accuracy_test.sh LINKRATE ACCURACY
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or no network
# namespaces); with CI=true a skip is a failure.
set -euo pipefail
linkrate=$1
accuracy=$2

lab_test_name="accuracy test"
# shellcheck source=tests/lab/lab_requirements.sh
source "$(dirname "$0")/lab_requirements.sh"
lab_require_lab

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# lab_left PID: what a run with that pid left behind (empty when nothing).
lab_left() {
  local lab=accuracy-$1
  ip netns list | grep -E "^$lab-(near|far)\b" || true
  [[ ! -e ${NETLAB_STATE_DIR:-/run/netlab}/$lab ]] || echo "state folder of $lab"
}

echo "== one round on 100 Mbit/s, 10 ms each way"
"$accuracy" --rounds 1 --seconds 2 --links 100mbit-10ms --linkrate "$linkrate" --out "$out/full" \
  >"$out/full.log" 2>&1 &
pid=$!
status=0
wait "$pid" || status=$?
((status == 0)) || fail "accuracy exited with $status: $(tail -20 "$out/full.log")"
table=$out/full/table.md
# Every row has a number in the linkrate column, and a reference where one
# is measured (the link's own bounds are not); this link has HTTPS rows too.
rows=$(grep -cE '^\| (LAN|internet) ' "$table" || true)
((rows == 27)) || fail "table has $rows rows, not 27: $(cat "$table")"
while IFS='|' read -r _ figure lib ref_name ref _; do
  [[ $lib =~ ^\ [0-9] ]] || fail "no linkrate figure for$figure: $lib"
  [[ $ref_name == " TCP payload ceiling " || $ref_name == " - " || $ref =~ ^\ [0-9] ]] ||
    fail "no reference figure for$figure ($ref_name): $ref"
done < <(grep -E '^\| (LAN|internet) ' "$table")
[[ -s $out/full/100mbit-10ms.png ]] || fail "no plot"
left=$(lab_left "$pid")
[[ -z $left ]] || fail "the run left: $left"
((failures)) || echo "PASS every figure and the plot; nothing left behind"

echo "== stopped with SIGTERM during its first round"
before=$failures
"$accuracy" --rounds 3 --seconds 2 --links 100mbit-10ms --linkrate "$linkrate" --out "$out/stopped" \
  >"$out/stopped.log" 2>&1 &
pid=$!
for ((i = 0; i < 600; i++)); do
  grep -q "round 1 of" "$out/stopped.log" && break
  sleep 0.1
done
sleep 2
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
((status == 130)) || fail "stopped run exited with $status, not 130: $(tail -20 "$out/stopped.log")"
left=$(lab_left "$pid")
[[ -z $left ]] || fail "the stopped run left: $left"
# What the run starts in its lab (the lab tests never run at the same time).
leftovers=$(pgrep -af "linkrate-accuracy\.|--address 198\.18\.0\.2|serve --port 7878|iperf3 -s -1 --forceflush" || true)
[[ -z $leftovers ]] || fail "processes of the stopped run remain: $leftovers"
((failures > before)) || echo "PASS stopped run removed its lab"

((failures == 0)) || exit 1
echo "accuracy test: passed"
