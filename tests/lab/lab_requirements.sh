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

# lab_probe_step WHAT CMD...: runs CMD; when it fails, removes the probe's
# namespace and skips with WHAT and the command's own message.
lab_probe_step() {
  local what=$1 err
  shift
  if ! err=$("$@" 2>&1); then
    ip netns del "$lab_probe_ns" 2>/dev/null || true
    lab_skip "$what: ${err:-it failed without a message}"
  fi
}

# lab_require_namespaces: root, and a network namespace that can be made and
# run a command (ip netns exec mounts a view of /sys and /etc/netns/NAME files
# over /etc, which some restricted machines refuse).
lab_require_namespaces() {
  [[ $(id -u) -eq 0 ]] || lab_skip "not root (the lab creates network namespaces, qdiscs and iptables rules)"
  lab_probe_ns=linkrate-lab-probe-$$
  lab_probe_step "no network namespace support here" ip netns add "$lab_probe_ns"
  lab_probe_step "cannot run a command in a network namespace (ip netns exec)" \
    ip netns exec "$lab_probe_ns" true
  [[ ${1:-} == --keep ]] || ip netns del "$lab_probe_ns"
}

# lab_require_lab: everything a lab is made of, tried once in a namespace of
# its own: the namespace and a command in it, a veth pair, a tbf qdisc and the
# NFQUEUE rule of a delay stage.
lab_require_lab() {
  lab_require_namespaces --keep
  local ns=$lab_probe_ns
  lab_probe_step "cannot make a veth pair in a network namespace" \
    ip link add lrprobe0 netns "$ns" type veth peer name lrprobe1 netns "$ns"
  lab_probe_step "cannot shape a link with a tbf qdisc (tc)" \
    tc -n "$ns" qdisc replace dev lrprobe0 root tbf rate 1mbit burst 3028 limit 68564
  lab_probe_step "cannot add the NFQUEUE rule of a delay stage (iptables)" \
    ip netns exec "$ns" iptables -t raw -A PREROUTING -i lrprobe0 -j NFQUEUE --queue-num 0
  ip netns del "$ns"
}
