#!/usr/bin/env bash
# One internet run against a server that gives its transfers nothing to count
# (bench/internet/dropped_transfers.py): one that answers the latency requests
# but drops every download and upload connection, or with `404`, one that
# answers 404 to everything. Prints the connections the run opens a second
# for its transfers, and its CPU time.
# Usage: bench/internet/dropped_transfers.sh [rounds (default 3)] [drop|404]
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-3}
server=${2:-drop}

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target internet_bench_host >/dev/null
for ((r = 1; r <= rounds; r++)); do
  echo "== round $r"
  /usr/bin/python3 bench/internet/dropped_transfers.py build/default/bench/internet/internet_bench_host "$server"
done
