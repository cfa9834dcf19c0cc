#!/usr/bin/env bash
# The Linux side of the Windows build's tests, as a CTest fixture: nginx (the
# nginx fixture, HTTP and HTTPS), the Linux build's own LAN server
# (`linkrate serve`) and two peers that misbehave (misbehaving_peers.py: one
# silent, one that resets), each on a free loopback port, in the background
# with their output in DIR, and the ports written to DIR/peers.txt as
# "http_port=N", "https_port=N", "lan_port=N", "silent_port=N" and
# "reset_port=N" lines for the Windows programs to read.
# Usage: linux_peers.sh start DIR LINUX_BUILD
#        linux_peers.sh stop DIR
set -euo pipefail
command=${1:?start or stop} dir=${2:?folder}

stop_pid_file() {
  local file=$1 pid
  [[ -s $file ]] || return 0
  pid=$(cat "$file")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$file"
}

case $command in
  start)
    linux_build=${3:?the Linux build folder}
    linkrate=$linux_build/cli/linkrate
    [[ -x $linkrate ]] || { echo "linux_peers: $linkrate is missing: build the default preset first" >&2; exit 1; }
    "$0" stop "$dir"
    rm -rf "$dir"
    mkdir -p "$dir"
    # shellcheck source=../support/nginx-fixture-start.sh
    source "$(dirname "$0")/../support/nginx-fixture-start.sh"
    # Nothing started here may keep this script's output open: CTest waits
    # for it to close.
    if ! nginx_fixture_start "$dir/nginx" --garbage-dir "$linux_build/tests/nginx-garbage" \
      >/dev/null; then
      cat "$dir/nginx.log" >&2 || true
      exit 1
    fi
    echo "$nginx_pid" >"$dir/nginx.pid"
    lan_port=""
    for _ in 1 2 3 4 5; do
      port=$(nginx_pick_port)
      "$linkrate" serve --port "$port" -q >"$dir/serve.log" 2>&1 </dev/null &
      echo $! >"$dir/serve.pid"
      for _ in $(seq 100); do
        nginx_port_is_free "$port" || { lan_port=$port; break; }
        kill -0 "$(cat "$dir/serve.pid")" 2>/dev/null || break
        sleep 0.05
      done
      [[ -n $lan_port ]] && break
      stop_pid_file "$dir/serve.pid"
    done
    [[ -n $lan_port ]] || { cat "$dir/serve.log" >&2; exit 1; }
    /usr/bin/python3 "$(dirname "$0")/misbehaving_peers.py" "$dir/misbehaving.txt" \
      >"$dir/misbehaving.log" 2>&1 </dev/null &
    echo $! >"$dir/misbehaving.pid"
    for _ in $(seq 200); do
      [[ -s $dir/misbehaving.txt ]] && break
      kill -0 "$(cat "$dir/misbehaving.pid")" 2>/dev/null || break
      sleep 0.05
    done
    [[ -s $dir/misbehaving.txt ]] || { cat "$dir/misbehaving.log" >&2; exit 1; }
    {
      printf 'http_port=%s\nhttps_port=%s\nlan_port=%s\n' \
        "$nginx_http_port" "$nginx_tls_port" "$lan_port"
      cat "$dir/misbehaving.txt"
    } >"$dir/peers.txt"
    ;;
  stop)
    stop_pid_file "$dir/misbehaving.pid"
    stop_pid_file "$dir/serve.pid"
    stop_pid_file "$dir/nginx.pid"
    ;;
  *)
    echo "usage: $0 start DIR LINUX_BUILD | stop DIR" >&2
    exit 2
    ;;
esac
