# shellcheck shell=bash disable=SC2154
# Sourced by the binding tests. Set test_name first.
# binding_skip REASON: exit 77 (skipped), or 1 under CI=true, where a binding
# test that cannot run is a failure.
binding_skip() {
  if [[ ${CI:-} == true ]]; then
    echo "$test_name: FAILED: cannot run under CI: $1" >&2
    exit 1
  fi
  echo "$test_name: SKIPPED: $1"
  exit 77
}
