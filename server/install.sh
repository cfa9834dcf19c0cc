#!/usr/bin/env bash
# Sets up a linkrate speed-test server on a Debian host in one step: nginx
# (nginx-light, installed with apt-get when no nginx is there), the site files
# of nginx/ with the given ports, and the random body files of /garbage. The
# site has its own port and leaves every other site alone. Safe to run again:
# it rewrites its own files, keeps the body files, and changes nothing when
# nginx rejects the result.
#
# Usage: install.sh [--port N] [--https-port M --cert FILE --key FILE]
#   or:  install.sh --remove
#   --port N        plain HTTP on port N, every address (default 8080)
#   --cert FILE     certificate (chain) in PEM: also serve HTTPS with it
#   --key FILE      its private key in PEM
#   --https-port M  port of HTTPS (default 8443)
#   --remove        take the linkrate site and its files away again (nginx stays)
# Without --cert and --key an HTTPS site set up before is kept as it is.
# Run it as root.
set -euo pipefail

here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
me=$(basename "$0")
# shellcheck source=site-files.sh
source "$here/site-files.sh"

nginx_etc=/etc/nginx
data=/var/lib/linkrate-server
site=$nginx_etc/sites-available/linkrate
https_site=$nginx_etc/sites-available/linkrate-https
locations=$nginx_etc/snippets/linkrate-locations.conf
ours=("$site" "$https_site" "$locations"
  "$nginx_etc/sites-enabled/linkrate" "$nginx_etc/sites-enabled/linkrate-https")

fail() {
  echo "$me: $*" >&2
  exit 1
}
usage() {
  awk -v me="$me" 'NR > 1 && !/^#/ { exit }
    NR > 1 { sub(/^# ?/, ""); gsub(/install\.sh/, me); print }' "${BASH_SOURCE[0]}"
  exit "$1"
}
valid_port() { [[ "$1" =~ ^[0-9]{1,5}$ ]] && ((10#$1 >= 1 && 10#$1 <= 65535)); }

args=("$@")
port=8080 https_port=8443 cert="" key="" remove=""
while (($#)); do
  case "$1" in
    --port | --https-port | --cert | --key)
      (($# >= 2)) || fail "$1 needs a value"
      case "$1" in
        --port) port=$2 ;;
        --https-port) https_port=$2 ;;
        --cert) cert=$2 ;;
        --key) key=$2 ;;
      esac
      shift 2
      ;;
    --remove) remove=1; shift ;;
    -h | --help) usage 0 ;;
    *) echo "$me: unknown argument '$1'" >&2; usage 2 >&2 ;;
  esac
done
valid_port "$port" || fail "--port needs a number from 1 to 65535, not '$port'"
valid_port "$https_port" || fail "--https-port needs a number from 1 to 65535, not '$https_port'"
[[ -z "$cert" && -z "$key" || -n "$cert" && -n "$key" ]] ||
  fail "--cert and --key go together: HTTPS needs both"
if [[ -n "$cert" ]]; then
  ((10#$port != 10#$https_port)) || fail "HTTP and HTTPS need two ports, both are $port"
  for f in "$cert" "$key"; do
    [[ -f "$f" && -r "$f" ]] || fail "cannot read $f"
  done
  cert=$(readlink -f "$cert") key=$(readlink -f "$key")
fi
(($(id -u) == 0)) || fail "must run as root: it installs packages and changes nginx's configuration (try: sudo $0${args[*]:+ ${args[*]}})"

nginx_bin=$(command -v nginx || true)
if [[ -z "$nginx_bin" && -x /usr/sbin/nginx ]]; then nginx_bin=/usr/sbin/nginx; fi

# nginx runs when its pid file names a live process.
nginx_pid() {
  local pid_file pid
  pid_file=$("$nginx_bin" -T 2>/dev/null | awk '$1 == "pid" { sub(/;.*/, "", $2); print $2; exit }') || true
  pid=$(cat "${pid_file:-/run/nginx.pid}" 2>/dev/null) || return 1
  [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

# Reload a running nginx, or start it: through systemd where systemd is the
# init system, by itself everywhere else.
apply() {
  if nginx_pid >/dev/null; then
    "$nginx_bin" -s reload
  elif [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
    systemctl start nginx
  else
    "$nginx_bin"
  fi
}

# answers PORT: a GET /empty on 127.0.0.1:PORT comes back as the linkrate
# site's reply (200 with no-store) within 10 s.
answers() {
  local reply deadline=$((SECONDS + 10))
  while ((SECONDS < deadline)); do
    if reply=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
        printf "GET /empty HTTP/1.0\r\nHost: linkrate\r\n\r\n" >&3 && cat <&3' _ "$1" 2>/dev/null) &&
      [[ "$reply" == "HTTP/1.1 200"* && "${reply,,}" == *"cache-control: no-store"* ]]; then
      return 0
    fi
    sleep 0.2
  done
  return 1
}

if [[ -n "$remove" ]]; then
  rm -f "${ours[@]}"
  rm -rf "$data"
  if [[ -n "$nginx_bin" ]] && nginx_pid >/dev/null; then
    "$nginx_bin" -t -q && "$nginx_bin" -s reload
  fi
  echo "$me: the linkrate site is gone (nginx itself stays installed)"
  exit 0
fi

if [[ -z "$nginx_bin" ]]; then
  command -v apt-get >/dev/null || fail "nginx is missing and there is no apt-get to install it"
  echo "$me: installing nginx-light"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq nginx-light
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
fi
[[ -d "$nginx_etc/sites-enabled" ]] ||
  fail "$nginx_etc/sites-enabled is missing: this set-up expects Debian's layout of nginx"

echo "$me: making the /garbage bodies in $data (once)"
linkrate_make_garbage "$data"
chmod 755 "$data"

# Every file of ours is kept aside first, so that a result nginx rejects is
# rolled back and never stops nginx from loading its other sites.
backup=$(mktemp -d)
trap 'rm -rf "$backup"' EXIT
for f in "${ours[@]}"; do
  [[ -e "$f" || -L "$f" ]] && cp -P "$f" "$backup/$(echo "$f" | tr / _)"
done
roll_back() {
  local f saved
  for f in "${ours[@]}"; do
    saved="$backup/$(echo "$f" | tr / _)"
    rm -f "$f"
    [[ -e "$saved" || -L "$saved" ]] && cp -P "$saved" "$f"
  done
  return 0
}

lr_port=$port lr_https_port=$https_port lr_cert=$cert lr_key=$key lr_ipv6=""
# A host without IPv6 cannot listen on [::].
[[ -e /proc/net/if_inet6 ]] || lr_ipv6=no
mkdir -p "$(dirname "$locations")"
linkrate_render_site "$here/nginx/linkrate-locations.conf" >"$locations"
linkrate_render_site "$here/nginx/linkrate.conf" >"$site"
ln -sfn ../sites-available/linkrate "$nginx_etc/sites-enabled/linkrate"
if [[ -n "$cert" ]]; then
  linkrate_render_site "$here/nginx/linkrate-https.conf" >"$https_site"
  ln -sfn ../sites-available/linkrate-https "$nginx_etc/sites-enabled/linkrate-https"
fi

if ! check=$("$nginx_bin" -t 2>&1); then
  roll_back
  fail "nginx rejects the configuration, so nothing was changed:
$check"
fi
loaded=$("$nginx_bin" -T 2>/dev/null | grep -c "^# configuration file $nginx_etc/sites-enabled/linkrate:") || true
if ((loaded == 0)); then
  roll_back
  fail "nginx's main configuration does not include $nginx_etc/sites-enabled/*, so nothing was changed"
fi

# A port another program holds passes nginx -t but fails the reload, which
# would keep nginx on its old configuration for every site: roll back then too.
if ! apply || ! answers "$port"; then
  roll_back
  if nginx_pid >/dev/null; then "$nginx_bin" -s reload || true; fi
  fail "nginx does not serve the linkrate site on port $port, so the previous files are back (is the port taken by another program? see /var/log/nginx/error.log)"
fi

echo "$me: serving http://$(hostname -f 2>/dev/null || hostname):$port"
if [[ -e "$nginx_etc/sites-enabled/linkrate-https" ]]; then
  echo "$me: and HTTPS, as set in $https_site"
fi
echo "$me: try it with: linkrate internet http://127.0.0.1:$port"
