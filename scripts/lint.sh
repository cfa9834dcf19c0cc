#!/usr/bin/env bash
# The tree's style checks: every C and C++ file as .clang-format lays it out,
# and .clang-tidy's checks over the library and the program, read from the
# compile commands of a configured build (default: build/default).
# Usage: scripts/lint.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
else
  mapfile -t sources < <(find bench cli examples include src tests \
    -name '*.c' -o -name '*.cpp' -o -name '*.h')
fi

echo "lint: clang-format over ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

[ -f "$build/compile_commands.json" ] || {
  echo "lint: $build/compile_commands.json is missing; configure that build first" >&2
  exit 1
}
# Only what this build compiles: the other system's port and program files
# are not in its compile commands.
mapfile -t tidy_sources < <(printf '%s\n' "${sources[@]}" | grep -E '^(src|cli)/.*\.cpp$' |
  while read -r f; do grep -qF "\"$PWD/$f\"" "$build/compile_commands.json" && echo "$f"; done)
echo "lint: clang-tidy over ${#tidy_sources[@]} files"
printf '%s\n' "${tidy_sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null
