#!/usr/bin/env bash
# Runs the stalled-lookup tests (TESTS, a test binary) inside a network
# namespace of their own whose resolv.conf names 127.0.0.1 as its name server,
# where the tests keep a name server that never answers. Needs root and a
# namespace that can be entered; skips otherwise (fails instead when CI=true).
#
# Usage: stalled_lookup_test.sh TESTS
# Exit status: the tests' own, or 77 (skipped).
set -euo pipefail
tests=$1

lab_test_name="stalled lookup test"
# shellcheck source=tests/lab/lab_requirements.sh
source "$(dirname "$0")/../lab/lab_requirements.sh"
lab_require_namespaces

ns=linkrate-dns-$$
cleanup() {
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "/etc/netns/$ns"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ip netns add "$ns"
mkdir -p "/etc/netns/$ns"
# The resolver's usual settings: 5 s per query, two tries.
printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:2\n' >"/etc/netns/$ns/resolv.conf"
ip -n "$ns" link set lo up
ip netns exec "$ns" env LINKRATE_IN_SILENT_DNS_NAMESPACE=1 "$tests"
