#!/usr/bin/env bash
# The program's latency under load against the lab's reference: on a bloated
# link (a 200 ms queue at the bottleneck) and on the same link with a short
# queue (20 ms), the median of `linkrate lan` and `linkrate internet` probes
# during each transfer must agree with the TCP echo's median during an iperf3
# transfer in the same direction with as many flows (one for the LAN test,
# four down and two up for the internet's shape) and the same congestion
# control: within 3 ms or 15 %, whichever is larger.
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
grep -qw cubic /proc/sys/net/ipv4/tcp_available_congestion_control ||
  modprobe tcp_cubic 2>/dev/null || lab_skip "the cubic congestion control is not available"
lab_require_lab

"$netlab" sweep
lab=linkrate-loaded-$$
nl() { "$netlab" --name "$lab" "$@"; }
work=$(mktemp -d)
trap 'nl down >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failures=0
# agree WHAT OURS REFERENCE: within 3 ms or 15 % of the reference.
agree() {
  if awk -v o="$2" -v r="$3" 'BEGIN { d = o - r; if (d < 0) d = -d; t = 0.15 * r; if (t < 3) t = 3;
      exit !(o != "" && r != "" && d <= t) }'; then
    echo "PASS $1: $2 ms, reference $3 ms (within 3 ms or 15 %)"
  else
    echo "FAIL $1: ${2:-no figure} ms, reference ${3:-none} ms (within 3 ms or 15 %)"
    failures=$((failures + 1))
  fi
}
reference() { # reference DIRECTION FLOWS SECONDS: the echo's median under load
  nl loaded "$1" --flows "$2" --seconds "$3" | sed -nE 's/^loaded_ms .*median=([0-9.]+).*/\1/p'
}

first=1
for queue in 200ms 20ms; do
  echo "== 20 Mbit/s, 10 ms each way, a queue of $queue at the bottleneck, cubic"
  if ((first)); then
    nl up --owner $$ --rate 20mbit --delay 10ms --queue "$queue" --cc cubic
    nl exec far timeout 600 "$linkrate" serve --port "$port" >"$work/serve.log" 2>&1 &
    nl exec far timeout 600 "$(dirname "$0")/../support/nginx-fixture.sh" --port "$http_port" \
      --address "$far" --dir "$work/nginx" >"$work/nginx.log" 2>&1 &
    for ((i = 0; i < 200; i++)); do
      grep -q '^Serving' "$work/serve.log" &&
        nl exec near timeout 1 bash -c "exec 3<>/dev/tcp/$far/$http_port" 2>/dev/null && break
      sleep 0.1
    done
    first=0
  else
    nl set --rate 20mbit --delay 10ms --queue "$queue" --cc cubic
  fi

  json=$(nl exec near timeout 60 "$linkrate" lan "$far:$port" --duration 6000 --json-all) ||
    { echo "FAIL linkrate lan: $json"; failures=$((failures + 1)); continue; }
  echo "linkrate lan: $json"
  sleep 2
  agree "LAN loaded down, queue $queue" "$(jq -r '.loaded_down_ms // empty' <<<"$json")" "$(reference down 1 6)"
  sleep 2
  agree "LAN loaded up, queue $queue" "$(jq -r '.loaded_up_ms // empty' <<<"$json")" "$(reference up 1 6)"
  sleep 2

  json=$(nl exec near timeout 60 "$linkrate" internet "http://$far:$http_port" --json-all) ||
    { echo "FAIL linkrate internet: $json"; failures=$((failures + 1)); continue; }
  echo "linkrate internet: $json"
  sleep 2
  agree "internet loaded down (4 flows), queue $queue" "$(jq -r '.loaded_down_ms // empty' <<<"$json")" \
    "$(reference down 4 4)"
  sleep 2
  agree "internet loaded up (2 flows), queue $queue" "$(jq -r '.loaded_up_ms // empty' <<<"$json")" \
    "$(reference up 2 4)"
  sleep 2
done

((failures == 0)) || exit 1
echo "$lab_test_name: passed"
