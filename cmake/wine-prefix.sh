#!/usr/bin/env bash
# The windows preset's own Wine prefix (WINEPREFIX):
#   start  makes it once (wineboot) and holds its server (wineserver -p), both
#          with their output sent away, and marks it held (WINEPREFIX.held);
#          safe to call again and from several processes at once
#   stop   ends that prefix's server and every Wine process in it
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

case ${1:-} in
  start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      wineboot --init </dev/null >/dev/null 2>&1 9>&-
    fi
    # Starts the server if none runs; a running one is left as it is. Then
    # the prefix's own services (services.exe, winedevice.exe), which the
    # first Wine program otherwise starts with that program's output: a
    # test's output pipe would then stay open for as long as they live. None
    # of them keeps the lock open: they outlive this script.
    if [[ ! -e $WINEPREFIX.held ]]; then
      wineserver --persistent </dev/null >/dev/null 2>&1 9>&- || true
      wineboot </dev/null >/dev/null 2>&1 9>&- || true
      touch "$WINEPREFIX.held"
    fi
    ;;
  stop)
    rm -f "$WINEPREFIX.held"
    wineserver --kill </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
