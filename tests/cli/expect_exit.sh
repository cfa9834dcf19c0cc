#!/usr/bin/env bash
# Runs a command and passes when it exits with STATUS and its stderr holds
# TEXT.
# Usage: expect_exit.sh STATUS TEXT COMMAND...
set -uo pipefail
want=$1 text=$2
shift 2
err=$("$@" 2>&1 >/dev/null)
got=$?
if [[ $got != "$want" ]]; then
  echo "expect_exit: exit status $got, want $want; stderr: $err" >&2
  exit 1
fi
if [[ $err != *"$text"* ]]; then
  echo "expect_exit: stderr lacks '$text': $err" >&2
  exit 1
fi
echo "exit status $got: $err"
