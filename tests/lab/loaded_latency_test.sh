#!/usr/bin/env bash
# The program's latency under load against the lab's reference: on a bloated
# link (a 200 ms queue at the bottleneck) and on the same link with a short
# queue (20 ms), the median of `linkrate lan` and `linkrate internet` probes
# during each transfer must agree with the TCP echo's median during an iperf3
# transfer in the same direction with as many flows (one for the LAN test,
# four down and two up for the internet's shape) and the same congestion
# control (reno): within 3 ms or 15 %, whichever is larger. A pair outside is
# followed by six more, and the medians of the seven runs on each side count:
# about one transfer in eight, the program's or the reference's alike, meets
# losses that leave the queue shallower or deeper than usual for the rest of
# the transfer (two upload flows read 120 ms, then 90 ms or 165 ms), and a
# single pair then differs by up to 40 % without either side being wrong.
# The LAN test's connections set 512 KiB send and receive buffers, so its
# reference flow gets the same (--window 512K): with the kernel's autotuned
# buffers iperf3's one flow keeps growing until the queue overflows, and its
# upload read 125 ms in some runs and 78 ms (after losses) in others, where
# the program's, held by its receive window, read 124 ms every time.
# Every connection's slow start ends at 200 segments (--ssthresh): without
# that, how far slow start overshoots the 200 ms queue, and how the burst of
# losses that follows is recovered, sets the depth a transfer leaves for its
# first seconds, and one transfer and the next differ by half (the echo's
# median during one iperf3 download read 78 ms, during the next 125 ms). With
# it, the queue fills the same way in every run.
#
# Usage: loaded_latency_test.sh LINKRATE NETLAB
# Exit status: 0 passed, 1 failed, 77 skipped; with CI=true a skip fails.
set -euo pipefail
linkrate=$1
netlab=$2

readonly far=198.18.0.2 port=7878 http_port=8080

lab_test_name="loaded latency lab test"
# shellcheck source=tests/lab/lab_requirements.sh
source "$(dirname "$0")/lab_requirements.sh"
[[ $(id -u) -eq 0 ]] || lab_skip "not root (the lab creates network namespaces, qdiscs and iptables rules)"
for tool in ip tc iptables iperf3 cc pkg-config timeout setsid jq nginx; do
  command -v "$tool" >/dev/null || lab_skip "$tool is missing (scripts/setup.sh installs it)"
done
pkg-config --exists libnetfilter_queue || lab_skip "libnetfilter-queue-dev is missing (scripts/setup.sh installs it)"
lab_require_lab

"$netlab" sweep
lab=linkrate-loaded-$$
nl() { "$netlab" --name "$lab" "$@"; }
work=$(mktemp -d)
trap 'nl down >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failures=0
# within OURS REFERENCE: 3 ms or 15 % of the reference.
within() {
  awk -v o="$1" -v r="$2" 'BEGIN { d = o - r; if (d < 0) d = -d; t = 0.15 * r; if (t < 3) t = 3;
    exit !(o != "" && r != "" && d <= t) }'
}
# reference DIRECTION FLOWS SECONDS [WINDOW]: the echo's median under load
reference() {
  sleep 2  # what the last transfer left in the queue drains first
  nl loaded "$1" --flows "$2" --seconds "$3" ${4:+--window "$4"} |
    sed -nE 's/^loaded_ms .*median=([0-9.]+).*/\1/p'
}
ours() { # ours lan|internet DIRECTION: the program's loaded median
  local json
  sleep 2
  if [[ $1 == lan ]]; then
    json=$(nl exec near timeout 60 "$linkrate" lan "$far:$port" --duration 6000 --json-all) || true
  else
    json=$(nl exec near timeout 60 "$linkrate" internet "http://$far:$http_port" --json-all) || true
  fi
  jq -r ".loaded_$2_ms // empty" <<<"$json" 2>/dev/null || true
}
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# compare WHAT TEST DIRECTION FLOWS SECONDS [WINDOW]: one pair first; if it is
# outside the band, six more pairs, and the medians of the seven on each side
# count.
compare() {
  local what=$1 mine ref mines="" refs="" i missing=0
  for ((i = 0; i < 7; i++)); do
    mine=$(ours "$2" "$3")
    ref=$(reference "$3" "$4" "$5" "${6:-}")
    [[ -n $mine ]] || missing=1
    mines+=" $mine" refs+=" $ref"
    if ((i == 0)); then
      within "$mine" "$ref" && break
      echo "-- $what: ${mine:-no figure} ms against ${ref:-none} ms; six more pairs"
    fi
  done
  if ((i > 0)); then
    echo "   linkrate:$mines; reference:$refs"
    mine=$(median <<<"$mines") ref=$(median <<<"$refs")
    ((missing == 0)) || mine=
  fi
  if within "$mine" "$ref"; then
    echo "PASS $what: $mine ms, reference $ref ms (within 3 ms or 15 %)"
  else
    echo "FAIL $what: ${mine:-no figure} ms, reference ${ref:-none} ms (within 3 ms or 15 %)"
    failures=$((failures + 1))
  fi
}

first=1
for queue in 200ms 20ms; do
  echo "== 20 Mbit/s, 10 ms each way, a queue of $queue at the bottleneck, reno, slow start to 200 segments"
  if ((first)); then
    nl up --owner $$ --rate 20mbit --delay 10ms --queue "$queue" --cc reno --ssthresh 200
    nl exec far timeout 900 "$linkrate" serve --port "$port" >"$work/serve.log" 2>&1 &
    nl exec far timeout 900 "$(dirname "$0")/../support/nginx-fixture.sh" --port "$http_port" \
      --address "$far" --dir "$work/nginx" >"$work/nginx.log" 2>&1 &
    for ((i = 0; i < 200; i++)); do
      grep -q '^Serving' "$work/serve.log" &&
        nl exec near timeout 1 bash -c "exec 3<>/dev/tcp/$far/$http_port" 2>/dev/null && break
      sleep 0.1
    done
    first=0
  else
    nl set --rate 20mbit --delay 10ms --queue "$queue" --cc reno --ssthresh 200
  fi
  compare "LAN loaded down, queue $queue" lan down 1 6 512K
  compare "LAN loaded up, queue $queue" lan up 1 6 512K
  compare "internet loaded down (4 flows), queue $queue" internet down 4 3
  compare "internet loaded up (2 flows), queue $queue" internet up 2 3
done

((failures == 0)) || exit 1
echo "$lab_test_name: passed"
