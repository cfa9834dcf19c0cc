#!/usr/bin/env bash
# The lab's probe on a machine where a network namespace can be made but not
# entered (as in some chroots, where "ip netns exec" cannot remount /): a
# stand-in ip early on PATH fails "ip netns exec" the way such a machine does
# and passes everything else to the real ip. Both lab tests must then skip
# (77) with that reason, fail under CI=true, and leave no namespace behind.
#
# Usage: probe_test.sh LINKRATE
# Exit status: 0 passed, 1 failed, 77 skipped (not root).
set -euo pipefail
linkrate=$1
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "probe test: SKIPPED: not root (the probe makes a network namespace)"
  exit 77
fi

stand_in=$(mktemp -d)
trap 'rm -rf "$stand_in"' EXIT
cat >"$stand_in/ip" <<STUB
#!/usr/bin/env bash
if [[ \${1:-} == netns && \${2:-} == exec ]]; then
  echo 'mount --make-rslave / failed: Invalid argument' >&2
  exit 1
fi
exec $(command -v ip) "\$@"
STUB
chmod +x "$stand_in/ip"

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# expect_skip NAME CI STATUS COMMAND...: runs the lab test with the stand-in
# first on PATH and checks its exit status and the reason it gives.
expect_skip() {
  local name=$1 ci=$2 want=$3 out status=0
  shift 3
  out=$(PATH="$stand_in:$PATH" CI=$ci "$@" 2>&1) || status=$?
  if ((status != want)); then
    fail "$name with CI=$ci: exit $status, not $want: $out"
  elif [[ $out != *"ip netns exec"*"mount --make-rslave"* ]]; then
    fail "$name with CI=$ci: the reason is missing: $out"
  else
    echo "PASS $name with CI=$ci: exit $status: $out"
  fi
}

for ci in false true; do
  want=77
  [[ $ci == true ]] && want=1
  expect_skip "lab test" "$ci" "$want" "$here/lab_test.sh" "$linkrate" "$repo/bench/netlab"
  expect_skip "accuracy test" "$ci" "$want" "$here/accuracy_test.sh" "$linkrate" "$repo/bench/accuracy"
done

left=$(ip netns list | grep -E '^linkrate-lab-probe-' || true)
[[ -z $left ]] || fail "the probe left namespaces behind: $left"

((failures == 0)) || exit 1
echo "probe test: passed"
