# shellcheck shell=bash disable=SC2154
# Sourced by the lab tests: what a test needs before it can bring up a lab.
# Set lab_test_name first; it starts the skip and failure messages.

# lab_skip REASON: exit 77 (skipped), or 1 under CI=true, where a lab test
# that cannot run is a failure.
lab_skip() {
  if [[ ${CI:-} == true ]]; then
    echo "$lab_test_name: FAILED: cannot run under CI: $1" >&2
    exit 1
  fi
  echo "$lab_test_name: SKIPPED: $1"
  exit 77
}

# lab_require_namespaces: root, and a network namespace can be made.
lab_require_namespaces() {
  [[ $(id -u) -eq 0 ]] || lab_skip "not root (the lab creates network namespaces, qdiscs and iptables rules)"
  local probe_ns=linkrate-lab-probe-$$ err
  if ! err=$(ip netns add "$probe_ns" 2>&1); then
    lab_skip "no network namespace support here: $err"
  fi
  ip netns del "$probe_ns"
}
