#!/usr/bin/env bash
# The lab test: brings up one shaped link in the network lab (bench/netlab),
# checks the emulation within generous bands, runs the library's download and
# upload over it with the linkrate program against `linkrate serve` in the far
# namespace, checks both land near the configured rate, checks that repeated
# uploads reach the rate of a link with a large bandwidth-delay product, and
# tears the lab down.
# The bands catch unit mistakes and gross errors, not noise.
#
# Usage: lab_test.sh LINKRATE NETLAB
# Exit status: 0 passed, 1 failed, 77 skipped (not root, no network
# namespaces, or a tool missing); with CI=true a skip is a failure.
set -euo pipefail
linkrate=$1
netlab=$2

readonly rate_mbit=50 far=198.18.0.2 port=7878

lab_test_name="lab test"
# shellcheck source=tests/lab/lab_requirements.sh
source "$(dirname "$0")/lab_requirements.sh"
[[ $(id -u) -eq 0 ]] || lab_skip "not root (the lab creates network namespaces, qdiscs and iptables rules)"
for tool in ip tc iptables iperf3 cc pkg-config timeout setsid; do
  command -v "$tool" >/dev/null || lab_skip "$tool is missing (scripts/setup.sh installs it)"
done
pkg-config --exists libnetfilter_queue || lab_skip "libnetfilter-queue-dev is missing (scripts/setup.sh installs it)"
lab_require_lab

# Labs left by an earlier run that was killed outright.
"$netlab" sweep

# A name of its own, so parallel runs never share a lab.
lab=linkrate-lab-$$
nl() { "$netlab" --name "$lab" "$@"; }
trap 'nl down >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM

echo "== link: ${rate_mbit} Mbit/s, 5 ms each way"
nl up --owner $$ --rate "${rate_mbit}mbit" --delay 5ms
nl check --seconds 2

echo "== linkrate over the link"
serve_log=$(mktemp)
trap 'nl down >/dev/null 2>&1 || true; rm -f "$serve_log"' EXIT
nl exec far timeout 120 "$linkrate" serve --port "$port" >"$serve_log" 2>&1 &
for ((i = 0; i < 100; i++)); do
  grep -q '^Serving' "$serve_log" && break
  sleep 0.05
done
grep -q '^Serving' "$serve_log" || { echo "linkrate serve did not start: $(cat "$serve_log")"; exit 1; }

failures=0
for test in download upload; do
  json=$(nl exec near timeout 30 "$linkrate" "$test" "$far:$port" --duration 2000 --json) ||
    { echo "FAIL linkrate $test failed: $json"; failures=$((failures + 1)); continue; }
  mbps=$(sed -nE "s/.*\"${test}_mbps\":([0-9.eE+-]+).*/\1/p" <<<"$json")
  # tbf lets TCP payload reach 95.6 % of the rate; upload is counted when
  # handed to the kernel, so it may read a little above that.
  if awk -v m="$mbps" -v r="$rate_mbit" 'BEGIN { exit !(m >= 0.6 * r && m <= 1.25 * r) }'; then
    echo "PASS linkrate $test: $mbps Mbit/s on a ${rate_mbit} Mbit/s link (band 60..125 %)"
  else
    echo "FAIL linkrate $test: $mbps Mbit/s on a ${rate_mbit} Mbit/s link (band 60..125 %): $json"
    failures=$((failures + 1))
  fi
done

# On a link whose bandwidth-delay product (250 KB) is well above the default
# receive window (about 100 KB), every upload must reach the link's rate: the
# server's connections must get their large receive window from the start.
# Five short uploads, as a connection that misses it does so in about half
# the runs.
echo "== uploads over 100 Mbit/s, 10 ms each way"
nl set --rate 100mbit --delay 10ms
for ((i = 1; i <= 5; i++)); do
  json=$(nl exec near timeout 30 "$linkrate" upload "$far:$port" --duration 1000 --json) ||
    { echo "FAIL linkrate upload $i failed: $json"; failures=$((failures + 1)); continue; }
  mbps=$(sed -nE 's/.*"upload_mbps":([0-9.eE+-]+).*/\1/p' <<<"$json")
  if awk -v m="$mbps" 'BEGIN { exit !(m >= 75 && m <= 125) }'; then
    echo "PASS linkrate upload $i: $mbps Mbit/s on a 100 Mbit/s link (band 75..125 %)"
  else
    echo "FAIL linkrate upload $i: $mbps Mbit/s on a 100 Mbit/s link (band 75..125 %)"
    failures=$((failures + 1))
  fi
done

echo "== ${rate_mbit} Mbit/s, 5 ms each way, with jitter and loss"
nl set --rate "${rate_mbit}mbit" --delay 5ms --jitter 1ms --loss 2%
nl check --only rtt,loss

((failures == 0)) || exit 1
echo "lab test: passed"
