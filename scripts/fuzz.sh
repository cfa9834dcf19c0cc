#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a bounded time from its
# seed corpus in tests/fuzz/corpus/<target>/. Fails on any finding; the input
# that caused it and the run's log are kept in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(render_fuzz base_url_fuzz server_fuzz)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

findings=build/fuzz/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for target in "${targets[@]}"; do
  echo "=== fuzz $target for ${seconds}s"
  # New inputs go to a scratch corpus: the seeds in the repository stay as they are.
  mkdir -p "$scratch/$target"
  log="$findings/$target.log"
  if build/fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
      "$scratch/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
  else
    echo "fuzz: $target found a fault (log and input in $findings):" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit $status
