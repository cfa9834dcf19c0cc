#!/usr/bin/env bash
# Sets up a linkrate speed-test server on a Debian host in one step: nginx
# (nginx-light, installed with apt-get when no nginx is there), the site files
# of nginx/ with the given ports, and the random body files of /garbage. The
# site has its own port and leaves every other site alone. Safe to run again:
# it rewrites its own files, keeps the body files, and changes nothing when
# nginx rejects the result or the run is interrupted.
#
# Usage: install.sh [--port N] [--https-port M --cert FILE --key FILE]
#   or:  install.sh --remove
#   --port N        plain HTTP on port N, every address (default 8080)
#   --cert FILE     certificate (chain) in PEM: also serve HTTPS with it
#   --key FILE      its private key in PEM
#   --https-port M  port of HTTPS (default 8443)
#   --remove        take the linkrate site and its files away again; nginx
#                   stays installed, and stops when this set-up started it
# Without --cert and --key an HTTPS site set up before is kept as it is.
# When it installs nginx itself it disables nginx's default site (port 80).
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
# What this set-up did to the machine beyond its own files, one word a line
# (installed-nginx, disabled-default-site, started-nginx), so that --remove
# undoes just that.
note=$data/setup-note

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

noted() { grep -qx "$1" "$note" 2>/dev/null; }
note_down() {
  mkdir -p "$data"
  noted "$1" || echo "$1" >>"$note"
}

# Stops nginx: through systemd where systemd runs it, by itself elsewhere.
stop_nginx() {
  local pid deadline=$((SECONDS + 10))
  if [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
    systemctl stop nginx && return 0
  fi
  pid=$(nginx_pid) || return 0
  "$nginx_bin" -s quit
  while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
  ! kill -0 "$pid" 2>/dev/null
}

# answers PORT HOST: a GET /empty on 127.0.0.1:PORT, sent with "Host: HOST" as
# a client that typed that name sends it, comes back as the linkrate site's
# reply (200 with no-store) within 10 s.
answers() {
  local reply deadline=$((SECONDS + 10))
  while ((SECONDS < deadline)); do
    if reply=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
        printf "GET /empty HTTP/1.0\r\nHost: %s\r\n\r\n" "$2" >&3 && cat <&3' _ "$1" "$2" 2>/dev/null) &&
      [[ "$reply" == "HTTP/1.1 200"* && "${reply,,}" == *"cache-control: no-store"* ]]; then
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# other_listeners PORT: the configuration files, other than ours, with a
# server block listening on PORT. nginx gives a request for a name no block
# claims to the port's first (or default) block, which may be theirs.
other_listeners() {
  "$nginx_bin" -T 2>/dev/null | awk -v port="$1" -v ours="$(printf '%s\n' "${ours[@]}")" '
    BEGIN { n = split(ours, list, "\n"); for (i = 1; i <= n; i++) mine[list[i]] = 1 }
    /^# configuration file / { file = $4; sub(/:$/, "", file); next }
    { sub(/#.*/, "") }
    !(file in mine) {
      for (i = 1; i < NF; i++) {
        if ($i != "listen" || (i > 1 && $(i - 1) !~ /[;{}]$/)) continue
        a = $(i + 1); sub(/;.*$/, "", a)
        if (a ~ /^unix:/) continue
        if (a ~ /^[0-9]+$/) p = a
        else if (a ~ /\]:[0-9]+$/ || a ~ /^[^\[]*:[0-9]+$/) { p = a; sub(/.*:/, "", p) }
        else p = 80
        if (p + 0 == port + 0 && !(file in seen)) { seen[file] = 1; print file }
      }
    }'
}

# The files that still use the linkrate pieces (the endpoints snippet, the
# ckSize map, the body files) once ours are gone.
users_of_ours() {
  grep -rlE 'linkrate-locations\.conf|\$linkrate_garbage_mib|/var/lib/linkrate-server' "$nginx_etc" 2>/dev/null |
    grep -vxF -f <(printf '%s\n' "${ours[@]}" "$nginx_etc/sites-available/linkrate" \
      "$nginx_etc/sites-available/linkrate-https") || true
}

# Until a run is committed, every exit puts back what it changed: an error,
# and also a signal (Ctrl-C, or the SIGHUP of a dropped SSH connection).
committed=1
undo_steps=()
finish() {
  local status=$? step
  trap - EXIT HUP INT TERM
  if [[ -z "$committed" ]]; then
    for ((step = ${#undo_steps[@]} - 1; step >= 0; step--)); do
      "${undo_steps[step]}" || true
    done
    ((status != 0)) || status=1
  fi
  [[ -z "${aside:-}" ]] || rm -rf "$aside"
  exit "$status"
}
trap finish EXIT
trap 'echo "$me: interrupted; putting back what this run changed" >&2; exit 129' HUP
trap 'echo "$me: interrupted; putting back what this run changed" >&2; exit 130' INT
trap 'echo "$me: interrupted; putting back what this run changed" >&2; exit 143' TERM

# Our files are copied aside, and for --remove the body folder is moved aside
# (on the same file system), so that both can be put back as they were.
aside=""
keep_aside() {
  [[ -n "$aside" ]] || aside=$(mktemp -d "$(dirname "$data")/.linkrate-server-aside.XXXXXX")
  local f
  for f in "${ours[@]}"; do
    [[ -e "$f" || -L "$f" ]] && cp -P "$f" "$aside/$(echo "$f" | tr / _)"
  done
  return 0
}
put_back() {
  local f saved
  for f in "${ours[@]}"; do
    saved="$aside/$(echo "$f" | tr / _)"
    rm -f "$f"
    [[ -e "$saved" || -L "$saved" ]] && cp -P "$saved" "$f"
  done
  return 0
}
restore_data() {
  rm -rf "$data"
  mv "$aside/data" "$data"
}
remove_made_bodies() { rm -f "${missing[@]}"; }
remove_data_folder() { rmdir "$data" 2>/dev/null; }
reload_if_running() {
  if [[ -n "$nginx_bin" ]] && nginx_pid >/dev/null; then "$nginx_bin" -s reload || true; fi
}

if [[ -n "$remove" ]]; then
  # A configuration nginx rejected before is not ours to judge.
  valid_before=""
  [[ -z "$nginx_bin" ]] || ! "$nginx_bin" -t -q 2>/dev/null || valid_before=1
  committed=""
  keep_aside
  undo_steps+=(put_back)
  rm -f "${ours[@]}"
  if [[ -d "$data" ]]; then
    mv "$data" "$aside/data"
    undo_steps+=(restore_data)
  fi
  if [[ -n "$valid_before" ]] && ! check=$("$nginx_bin" -t 2>&1); then
    users=$(users_of_ours)
    echo "$me: nginx would reject its configuration without the linkrate files, so they stay${users:+; still used by:
$users}
$check" >&2
    exit 1
  fi
  committed=1
  if [[ -n "$nginx_bin" && -z "$valid_before" ]]; then
    fail "the linkrate site is gone, but nginx rejected its configuration already before, so it was not reloaded: $("$nginx_bin" -t 2>&1 | paste -sd ' ')"
  fi
  if [[ -n "$nginx_bin" ]] && nginx_pid >/dev/null; then
    # Sites enabled since this set-up last changed its note are someone
    # else's, and keep the nginx it started running.
    newer=""
    [[ ! -f "$aside/data/setup-note" ]] ||
      newer=$(find "$nginx_etc/sites-enabled" -mindepth 1 -maxdepth 1 -newer "$aside/data/setup-note")
    if grep -qx -e installed-nginx -e started-nginx "$aside/data/setup-note" 2>/dev/null && [[ -z "$newer" ]]; then
      stop_nginx || fail "nginx, which this set-up started, did not stop"
      echo "$me: stopped nginx, which this set-up had started"
    else
      "$nginx_bin" -s reload
    fi
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
  note_down installed-nginx
fi
[[ -d "$nginx_etc/sites-enabled" ]] ||
  fail "$nginx_etc/sites-enabled is missing: this set-up expects Debian's layout of nginx"

# The nginx installed here brings its default site, open on port 80 of every
# address; nobody asked for it.
if noted installed-nginx && ! noted disabled-default-site; then
  if [[ -L "$nginx_etc/sites-enabled/default" ]]; then
    rm -f "$nginx_etc/sites-enabled/default"
    echo "$me: disabled nginx's default site (port 80), which came with the nginx installed here"
  fi
  note_down disabled-default-site
fi

# A port that a server block of another site listens on would be shared:
# clients would get whichever block nginx picks for their Host.
[[ -n "$cert" || -e "$nginx_etc/sites-enabled/linkrate-https" ]] && https_too=1 || https_too=""
for p in "$port" ${https_too:+"$https_port"}; do
  taken=$(other_listeners "$p")
  [[ -z "$taken" ]] || fail "port $p is already served by another nginx site ($(echo "$taken" | paste -sd ' ')): choose another with --port or --https-port"
done

committed=""
mapfile -t missing < <(linkrate_garbage_missing "$data")
if ((${#missing[@]})); then
  [[ -d "$data" ]] || undo_steps+=(remove_data_folder)
  undo_steps+=(remove_made_bodies)
  echo "$me: making the /garbage bodies in $data"
  linkrate_make_garbage "$data"
fi
chmod 755 "$data"

# Every file of ours is kept aside first, so that a result nginx rejects is
# rolled back and never stops nginx from loading its other sites.
keep_aside
undo_steps+=(reload_if_running put_back)

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
  fail "nginx rejects the configuration, so nothing was changed:
$check"
fi
loaded=$("$nginx_bin" -T 2>/dev/null | grep -c "^# configuration file $nginx_etc/sites-enabled/linkrate:") || true
((loaded > 0)) ||
  fail "nginx's main configuration does not include $nginx_etc/sites-enabled/*, so nothing was changed"

# A port another program holds passes nginx -t but fails the reload, which
# would keep nginx on its old configuration for every site: roll back then too.
# The check asks as clients will: by this host's name and by loopback.
started=""
if nginx_pid >/dev/null; then
  "$nginx_bin" -s reload || fail "nginx did not take the new configuration, so the previous files are back"
else
  started=1
  undo_steps+=("stop_nginx")
  if [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
    systemctl start nginx || fail "nginx did not start, so the previous files are back"
  else
    "$nginx_bin" || fail "nginx did not start, so the previous files are back"
  fi
fi
name=$(hostname -f 2>/dev/null || hostname)
for host in "$name:$port" "127.0.0.1:$port"; do
  answers "$port" "$host" ||
    fail "nginx does not serve the linkrate site on port $port for Host $host, so the previous files are back (is the port taken by another program? see /var/log/nginx/error.log)"
done

committed=1
[[ -z "$started" ]] || note_down started-nginx
echo "$me: serving http://$name:$port"
if [[ -e "$nginx_etc/sites-enabled/linkrate-https" ]]; then
  echo "$me: and HTTPS, as set in $https_site"
fi
echo "$me: try it with: linkrate internet http://127.0.0.1:$port"
