#!/bin/sh
# The man page linkrate(1) says each thing once: one EXIT STATUS section, no
# help text's exit-status paragraph beside it, the internet server's three
# requests once.
# Usage: check-man.sh MAN_PAGE.gz
set -eu
page=$(zcat "$1")
count() { printf '%s\n' "$page" | grep -c -- "$1" || true; }
failed=0
check() {
  got=$(count "$1")
  if [ "$got" != "$2" ]; then
    echo "check-man: '$1' appears $got times, want $2" >&2
    failed=1
  fi
}
check '^\.SH "EXIT STATUS"' 1
check 'Exit status:' 0
check 'The server must answer three requests' 1
check '^\.SH OPTIONS' 1
exit $failed
