#!/usr/bin/env bash
# Runs nginx in the foreground as a loopback speed-test server for the
# internet test, its benchmarks and manual runs, with the site files that
# server/install.sh deploys (server/nginx/), only their ports, paths and
# certificate changed:
#   GET  /empty?...    empty 200 (latency)
#   POST /empty        empty 200, body of any size taken and dropped (upload)
#   GET  /garbage?...  25 MiB of random bytes (download; ckSize=1, 10, 100 too)
# HTTP/1.1 only, so every transfer has a connection of its own. Everything it
# writes (configuration, self-signed certificate, logs, temporary files, the
# body files unless --garbage-dir names another folder) lives in one folder.
#
# Usage: nginx-fixture.sh --port N [--tls-port M] [--address A] [--dir DIR] [--workers W]
#                         [--garbage-dir G]
#   --port N         plain HTTP on A:N
#   --tls-port M     HTTPS on A:M with a certificate made now (openssl)
#   --address A      IPv4 address to listen on (default 127.0.0.1; the network
#                    lab runs it on its far address inside the far namespace)
#   --dir DIR        working folder (made if missing; default: a new temporary one)
#   --workers W      nginx worker processes (default 1)
#   --garbage-dir G  folder of the /garbage bodies, made there once and kept
#                    (136 MiB; default DIR/www)
# Stop it with SIGTERM or SIGINT (Ctrl-C). The folder is left for the caller.
set -euo pipefail

port="" tls_port="" address=127.0.0.1 dir="" workers=1 garbage_dir=""
while (($#)); do
  case "$1" in
    --port) port="$2"; shift 2 ;;
    --tls-port) tls_port="$2"; shift 2 ;;
    --address) address="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --workers) workers="$2"; shift 2 ;;
    --garbage-dir) garbage_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "nginx-fixture: unknown argument $1" >&2; exit 2 ;;
  esac
done
[[ -n "$port" ]] || { echo "nginx-fixture: --port is required" >&2; exit 2; }
[[ "$address" =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ ]] ||
  { echo "nginx-fixture: --address needs a dotted IPv4 address, not '$address'" >&2; exit 2; }

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[[ -x "$nginx_bin" ]] || { echo "nginx-fixture: nginx is not installed (scripts/setup.sh)" >&2; exit 3; }
server_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../server" && pwd)
# shellcheck source=../../server/site-files.sh
source "$server_dir/site-files.sh"

[[ -n "$dir" ]] || dir=$(mktemp -d "${TMPDIR:-/tmp}/linkrate-nginx.XXXXXX")
[[ -n "$garbage_dir" ]] || garbage_dir="$dir/www"
mkdir -p "$dir/tmp" "$garbage_dir"
dir=$(cd "$dir" && pwd)
garbage_dir=$(cd "$garbage_dir" && pwd)
# Workers run as another user unless nginx runs as root with `user root`;
# either way they must be able to enter the folders.
chmod 755 "$dir" "$garbage_dir"
linkrate_make_garbage "$garbage_dir"

lr_port=$port lr_https_port=$tls_port lr_address=$address
lr_locations="$dir/linkrate-locations.conf" lr_data=$garbage_dir
lr_cert="$dir/cert.pem" lr_key="$dir/key.pem"
sites="include $dir/linkrate.conf;"
for f in linkrate.conf linkrate-locations.conf; do
  linkrate_render_site "$server_dir/nginx/$f" >"$dir/$f"
done
if [[ -n "$tls_port" ]]; then
  if [[ ! -f "$dir/cert.pem" ]]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 2 -subj "/CN=$address" 2>/dev/null
  fi
  linkrate_render_site "$server_dir/nginx/linkrate-https.conf" >"$dir/linkrate-https.conf"
  sites+=" include $dir/linkrate-https.conf;"
fi

user_line=""
[[ "$(id -u)" -ne 0 ]] || user_line="user root;"

# The main configuration a Debian host has in /etc/nginx/nginx.conf, cut to
# what a foreground server in one folder needs. The site files turn their own
# access log off; a line in access.log is a request they did not expect.
cat >"$dir/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes $workers;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp/client_body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  $sites
}
CONF

echo "nginx-fixture: http://$address:$port${tls_port:+ https://$address:$tls_port} in $dir" >&2
exec "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"
