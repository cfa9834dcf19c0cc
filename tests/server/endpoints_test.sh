#!/usr/bin/env bash
# The deployable server as clients see it: nginx with the shipped site files
# (through the nginx fixture), over HTTP and HTTPS, answering each request a
# speed-test client or browser makes, then a full internet run of the
# linkrate program against it on both schemes.
# Usage: endpoints_test.sh LINKRATE_PROGRAM FIXTURE_SCRIPT GARBAGE_DIR
set -euo pipefail
linkrate=$1 fixture=$2 garbage_dir=$3

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
for c in curl jq gzip openssl; do
  command -v "$c" >/dev/null || { echo "endpoints_test: $c is missing (scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-endpoints.XXXXXX")
# shellcheck source=../support/nginx-fixture-start.sh
source "$(dirname "$fixture")/nginx-fixture-start.sh"
trap 'nginx_fixture_stop; rm -rf "$work"' EXIT
if ! nginx_fixture_start "$work/nginx" --garbage-dir "$garbage_dir"; then
  cat "$work/nginx.log" "$work/nginx/error.log" >&2 || true
  exit 1
fi
http_port=$nginx_http_port tls_port=$nginx_tls_port

mib=1048576
head -c $((20 * mib)) /dev/zero >"$work/body"

# expect NAME CODE SIZE CURL_ARGS...: status and body length of one request,
# and the headers every answer carries.
expect() {
  local name=$1 code=$2 size=$3 out
  shift 3
  out=$(curl -sk -o "$work/reply" -D "$work/headers" -w '%{http_code} %{size_download}' \
    -H 'Accept-Encoding: gzip, br' "$@") || { fail "$name: curl failed ($?)"; return; }
  [[ "$out" == "$code $size" ]] || fail "$name: got status and length '$out', want '$code $size'"
  local h
  h=$(tr -d '\r' <"$work/headers" | tr 'A-Z' 'a-z')
  [[ "$h" == *$'\ncache-control: no-store\n'* ]] || fail "$name: no Cache-Control: no-store"
  [[ "$h" == *$'\naccess-control-allow-origin: *\n'* ]] || fail "$name: no CORS origin header"
  [[ "$h" != *$'\ncontent-encoding:'* ]] || fail "$name: compressed"
}

for base in "http://127.0.0.1:$http_port" "https://127.0.0.1:$tls_port"; do
  scheme=${base%%:*}
  expect "$scheme GET /empty" 200 0 "$base/empty"
  expect "$scheme GET /empty with the latency query" 200 0 "$base/empty?t=3_123456"
  expect "$scheme HEAD /empty" 200 0 -I "$base/empty"
  expect "$scheme POST /empty, 20 MiB" 200 0 --data-binary @"$work/body" "$base/empty"
  expect "$scheme OPTIONS /empty" 204 0 -X OPTIONS -H 'Origin: https://browser.example' \
    -H 'Access-Control-Request-Method: POST' "$base/empty"
  expect "$scheme OPTIONS /garbage" 204 0 -X OPTIONS "$base/garbage"
  grep -qi '^access-control-allow-methods: .*POST' "$work/headers" ||
    fail "$scheme OPTIONS /garbage: POST is not among the allowed methods"
  expect "$scheme HEAD /garbage" 200 0 -I "$base/garbage?ckSize=25"
  grep -qi "^content-length: $((25 * mib))" "$work/headers" || fail "$scheme HEAD /garbage: length"
  # ckSize picks the body; any value without a file of its own gets 25 MiB.
  # The choice is the scheme's business nowhere, so HTTPS gets one case.
  cases=(1:1 10:10 25:25 100:100 7:25 abc:25 :25)
  [[ "$scheme" == http ]] || cases=(abc:25)
  for case in "${cases[@]}"; do
    expect "$scheme GET /garbage?ckSize=${case%%:*}" 200 $((${case##*:} * mib)) \
      "$base/garbage?ckSize=${case%%:*}"
  done
  expect "$scheme GET /garbage" 200 $((25 * mib)) "$base/garbage"
  # Random bytes: gzip cannot make them (here 1 MiB) any smaller.
  expect "$scheme GET /garbage?ckSize=1" 200 $mib "$base/garbage?ckSize=1"
  packed=$(gzip -1 -c "$work/reply" | wc -c)
  ((packed >= mib)) || fail "$scheme /garbage body packs to $packed bytes: not random"

  # Keep-alive: an upload and a download after it on one connection.
  # The whole trace first: a grep -q that stopped early would cut curl off.
  trace=$(curl -sk -v -o /dev/null --data-binary @"$work/body" "$base/empty" \
    --next -sk -o /dev/null "$base/garbage?ckSize=1" 2>&1) || true
  grep -q 'Re-using existing connection' <<<"$trace" ||
    fail "$scheme: the connection is not kept open after a POST"
done
[[ ! -s "$work/nginx/access.log" ]] || fail "requests were logged: $(head -n 3 "$work/nginx/access.log")"
[[ -z "$(grep -v '^\s*$' "$work/nginx/error.log")" ]] || fail "nginx logged errors: $(head -n 3 "$work/nginx/error.log")"

# linkrate's internet run against it, as a user runs it.
for base in "http://127.0.0.1:$http_port" "https://127.0.0.1:$tls_port"; do
  if ! json=$("$linkrate" internet "$base" --json 2>"$work/stderr"); then
    fail "linkrate internet $base: $(cat "$work/stderr")"
    continue
  fi
  jq -e '.phase == "complete" and .ping_ms > 0 and .download_mbps > 0 and .upload_mbps > 0' \
    <<<"$json" >/dev/null || fail "linkrate internet $base: $json"
done

((failures == 0)) || exit 1
echo "endpoints_test: the shipped server answers every request over HTTP and HTTPS"
