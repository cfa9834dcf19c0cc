# shellcheck shell=bash
# Sourced by scripts that need the nginx fixture in the background:
#   nginx_fixture_start DIR [OPTION...]
# starts nginx-fixture.sh --dir DIR on two free loopback ports (more fixture
# options may follow) and waits until both accept connections. It sets
# nginx_pid, nginx_http_port and nginx_tls_port, and returns 1 when nginx did
# not come up (the fixture's messages are in DIR.log). A port taken by
# another program between the pick and nginx's start means another try.
#   nginx_fixture_stop
# ends it and waits for it.

nginx_fixture_script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/nginx-fixture.sh"
nginx_pid=""

nginx_port_is_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
nginx_pick_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    nginx_port_is_free "$p" && { echo "$p"; return; }
  done
}

nginx_fixture_stop() {
  [[ -n "$nginx_pid" ]] || return 0
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
}

nginx_fixture_start() {
  local dir=$1 attempt
  shift
  for attempt in 1 2 3 4 5; do
    nginx_http_port=$(nginx_pick_port)
    nginx_tls_port=$(nginx_pick_port)
    ((nginx_http_port != nginx_tls_port)) || continue
    "$nginx_fixture_script" --port "$nginx_http_port" --tls-port "$nginx_tls_port" --dir "$dir" \
      "$@" 2>"$dir.log" &
    nginx_pid=$!
    # Up to 15 s: the first start makes the body files.
    for _ in $(seq 300); do
      kill -0 "$nginx_pid" 2>/dev/null || break
      if ! nginx_port_is_free "$nginx_http_port" && ! nginx_port_is_free "$nginx_tls_port"; then
        return 0
      fi
      sleep 0.05
    done
    nginx_fixture_stop
  done
  return 1
}
