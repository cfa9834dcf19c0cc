#!/usr/bin/env bash
# A Linux client against the Windows build's server: serve_host.exe under
# Wine serves a free loopback port, and the Linux build's program runs ping,
# download and upload against it; each must measure.
# Usage: linux_client_test.sh WINE_RUN SERVE_HOST_EXE LINUX_LINKRATE
set -euo pipefail
wine_run=$1 serve_host=$2 linkrate=$3
[[ -x $linkrate ]] || { echo "linux_client_test: $linkrate is missing: build the default preset first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-interop.XXXXXX")
server_pid=""
cleanup() {
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

port_is_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  port_is_free "$port" || continue
  "$wine_run" "$serve_host" "$port" 120 >"$work/serve.log" 2>&1 </dev/null &
  server_pid=$!
  # Up to 30 s: the first Wine program of a prefix starts slowly.
  for _ in $(seq 600); do
    grep -q serving "$work/serve.log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  grep -q serving "$work/serve.log" && break
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
done
[[ -n $server_pid ]] || { echo "serve_host did not start:"; cat "$work/serve.log"; exit 1; } >&2

failures=0
for test in ping download upload; do
  args=(--json "$test" "127.0.0.1:$port")
  [[ $test == ping ]] || args+=(--duration 1000)
  if ! json=$("$linkrate" "${args[@]}"); then
    echo "FAILED: $test against the Windows server: $json" >&2
    failures=$((failures + 1))
    continue
  fi
  echo "$test: $json"
  case $test in
    ping) field=ping_ms ;;
    download) field=download_mbps ;;
    upload) field=upload_mbps ;;
  esac
  value=$(sed -E "s/.*\"$field\":([0-9.eE+-]+).*/\1/" <<<"$json")
  awk -v v="$value" 'BEGIN { exit !(v > 0) }' || {
    echo "FAILED: $test measured $field=$value" >&2
    failures=$((failures + 1))
  }
done
((failures == 0))
