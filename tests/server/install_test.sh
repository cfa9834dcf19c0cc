#!/usr/bin/env bash
# server/install.sh on this host's own nginx, walled off from the host: a
# mount namespace shows it copies of /etc/nginx and empty /run, /var/lib and
# /var/log/nginx; a network namespace of its own gives it a loopback nobody
# else uses; a PID namespace ends the nginx it starts when the test ends.
# Needs root and an installed nginx; skips otherwise (fails under CI=true).
# Usage: install_test.sh INSTALL_SCRIPT
set -euo pipefail
install=$(readlink -f "$1")
lab_test_name=server_install
# shellcheck source=../lab/lab_requirements.sh
source "$(dirname "$0")/../lab/lab_requirements.sh"

if [[ "${2:-}" != --walled-off ]]; then
  lab_require_namespaces
  [[ -x /usr/sbin/nginx && -d /etc/nginx/sites-enabled ]] || lab_skip "Debian's nginx is not installed"
  for c in unshare curl setpriv openssl; do
    command -v "$c" >/dev/null || lab_skip "$c is missing"
  done
  exec unshare --mount --net --pid --fork --mount-proc "$0" "$1" --walled-off
fi

# Inside: nothing done here reaches the host.
walls=$(mktemp -d)
cp -a /etc/nginx "$walls/etc-nginx"
cp -a /etc/nginx "$walls/pristine"
mount --bind "$walls/etc-nginx" /etc/nginx
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/lib
mount -t tmpfs tmpfs /var/log/nginx
mkdir -p /var/lib/nginx
ip link set lo up
work=$walls/work
mkdir -p "$work"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
# status URL: the status code of a GET, 000 when nothing answers.
status() { curl -sk -o /dev/null -m 5 -w '%{http_code}' "$1" || true; }
size() { curl -sk -o /dev/null -m 20 -w '%{size_download}' "$1" || true; }
master() { cat /run/nginx.pid 2>/dev/null || echo none; }
running() { [[ -f /run/nginx.pid ]] && kill -0 "$(cat /run/nginx.pid)" 2>/dev/null; }
# site NAME TEXT: an enabled site of someone else's, in effect at once.
site() {
  printf '%s\n' "$2" >"/etc/nginx/sites-available/$1"
  ln -sfn "../sites-available/$1" "/etc/nginx/sites-enabled/$1"
  nginx -s reload
  sleep 0.5
}
unsite() {
  rm -f "/etc/nginx/sites-available/$1" "/etc/nginx/sites-enabled/$1"
  if running; then nginx -s reload; sleep 0.5; fi
}
fingerprint() { (cd /etc/nginx && find . -type f -o -type l | sort | xargs -d '\n' md5sum 2>/dev/null); }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=127.0.0.1 2>/dev/null
default_site=$(md5sum /etc/nginx/sites-enabled/default 2>/dev/null || echo none)

# Refused without root, before anything changes.
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$install" --port 18080 2>&1) &&
  fail "runs without root"
[[ "$out" == *"must run as root"* ]] || fail "no clear refusal without root: $out"
[[ ! -e /etc/nginx/sites-enabled/linkrate ]] || fail "changed nginx without root"

# A first run that nginx rejects leaves nothing behind, the bodies it made
# included.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -keyout "$work/other-key.pem" -out "$work/other-cert.pem" -subj /CN=other 2>/dev/null
"$install" --port 18080 --cert "$work/cert.pem" --key "$work/other-key.pem" >"$work/run0" 2>&1 &&
  fail "a first run with a key that does not fit its certificate was accepted"
grep -q "making the /garbage bodies" "$work/run0" || fail "the rejected first run made no bodies: $(cat "$work/run0")"
[[ ! -e /var/lib/linkrate-server ]] || fail "a rolled-back first run left $(ls /var/lib/linkrate-server)"
! running || fail "a rolled-back first run left nginx running"

# First run: nginx is not running, so the set-up starts it.
"$install" --port 18080 >"$work/run1" 2>&1 || fail "first run: $(cat "$work/run1")"
[[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] || fail "first run: /empty does not answer"
[[ "$(size 'http://127.0.0.1:18080/garbage?ckSize=10')" == 10485760 ]] || fail "first run: /garbage?ckSize=10"
first_master=$(master)
stamps=$(stat -c '%n %Y %s' /var/lib/linkrate-server/garbage-*)

# Again with HTTPS: nginx is reloaded, not restarted, and the bodies are kept.
"$install" --port 18080 --https-port 18443 --cert "$work/cert.pem" --key "$work/key.pem" \
  >"$work/run2" 2>&1 || fail "second run: $(cat "$work/run2")"
[[ "$(master)" == "$first_master" ]] || fail "second run restarted nginx instead of reloading it"
[[ "$(stat -c '%n %Y %s' /var/lib/linkrate-server/garbage-*)" == "$stamps" ]] ||
  fail "second run made the body files again"
! grep -q "making the /garbage bodies" "$work/run2" || fail "second run says it makes the bodies"
for url in http://127.0.0.1:18080/empty https://127.0.0.1:18443/empty; do
  for _ in $(seq 50); do [[ "$(status "$url")" == 200 ]] && break; sleep 0.1; done
  [[ "$(status "$url")" == 200 ]] || fail "second run: $url does not answer"
done
[[ "$(size 'https://127.0.0.1:18443/garbage?ckSize=1')" == 1048576 ]] || fail "second run: HTTPS /garbage"

# A key that does not fit the certificate: nginx -t says no and nothing changes.
before=$(fingerprint)
if "$install" --port 18081 --cert "$work/cert.pem" --key "$work/other-key.pem" >"$work/run3" 2>&1; then
  fail "a key that does not fit its certificate was accepted"
fi
grep -q "nginx rejects the configuration" "$work/run3" || fail "rejected run does not say why: $(cat "$work/run3")"
[[ "$(fingerprint)" == "$before" ]] || fail "a rejected run left files changed"
[[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] || fail "a rejected run stopped the server"

# A port another program holds: the reload fails, so the files are rolled
# back and the site keeps serving where it was.
/usr/bin/python3 -c 'import socket, time
s = socket.socket(); s.bind(("0.0.0.0", 18082)); s.listen(); time.sleep(60)' &
holder=$!
sleep 0.3
if "$install" --port 18082 >"$work/run-taken" 2>&1; then
  fail "a port held by another program was accepted"
fi
kill "$holder"
grep -q "port taken by another program" "$work/run-taken" || fail "taken port: $(cat "$work/run-taken")"
[[ "$(fingerprint)" == "$before" ]] || fail "a run on a taken port left files changed"
for _ in $(seq 50); do [[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] && break; sleep 0.1; done
[[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] || fail "a run on a taken port stopped the server"

# The same run twice is the same as once.
"$install" --port 18080 >"$work/run4" 2>&1 || fail "third run: $(cat "$work/run4")"
[[ "$(fingerprint)" == "$before" ]] || fail "running again with the same options changed files"
[[ "$(status https://127.0.0.1:18443/empty)" == 200 ]] || fail "a run without --cert dropped HTTPS"

[[ "$(md5sum /etc/nginx/sites-enabled/default 2>/dev/null || echo none)" == "$default_site" ]] ||
  fail "the default site was changed"

# A port that a server block of another site listens on: a client asking
# for 127.0.0.1:18081 would get that site, so the set-up refuses it.
site teapot 'server { listen 18081; return 418; }'
before=$(fingerprint)
"$install" --port 18081 >"$work/run-shared" 2>&1 && fail "a port another site serves was accepted"
grep -q "port 18081 is already served by another nginx site (/etc/nginx/sites-enabled/teapot)" \
  "$work/run-shared" || fail "shared port: $(cat "$work/run-shared")"
[[ "$(fingerprint)" == "$before" ]] || fail "a run on a port another site serves left files changed"
[[ "$(status http://127.0.0.1:18081/empty)" == 418 ]] || fail "the other site's port changed hands"
unsite teapot

# A hang-up (a dropped SSH connection) while the set-up waits for the site to
# answer puts the previous files back. nginx's master is held still, so the
# reload is not taken and the wait lasts.
before=$(fingerprint)
kill -STOP "$(master)"
"$install" --port 18083 >"$work/run-hup" 2>&1 &
setup=$!
for _ in $(seq 100); do grep -qs 'listen 18083;' /etc/nginx/sites-available/linkrate && break; sleep 0.05; done
sleep 0.3
kill -HUP "$setup"
hup_status=0
wait "$setup" || hup_status=$?
kill -CONT "$(master)"
((hup_status == 129)) || fail "a hang-up ended the set-up with status $hup_status: $(cat "$work/run-hup")"
grep -q "interrupted; putting back" "$work/run-hup" || fail "hang-up: $(cat "$work/run-hup")"
[[ "$(fingerprint)" == "$before" ]] || fail "a hang-up left the new files in place"
sleep 0.5
[[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] || fail "after a hang-up the site left its port"
[[ "$(status http://127.0.0.1:18083/empty)" == 000 ]] || fail "after a hang-up the new port answers"

# Another site that includes the endpoints: --remove would break nginx for
# every site, so it keeps the files, says who uses them and fails.
site mirror 'server { listen 18090; include /etc/nginx/snippets/linkrate-locations.conf; }'
before=$(fingerprint)
"$install" --remove >"$work/run-kept" 2>&1 && fail "--remove broke a site that includes the endpoints"
grep -q "/etc/nginx/sites-available/mirror" "$work/run-kept" || fail "--remove kept: $(cat "$work/run-kept")"
[[ "$(fingerprint)" == "$before" && -e /var/lib/linkrate-server/garbage-1 ]] ||
  fail "--remove took away files another site uses"
nginx -t -q 2>/dev/null || fail "--remove left nginx -t failing"
[[ "$(size 'http://127.0.0.1:18090/garbage?ckSize=1')" == 1048576 ]] || fail "the including site lost /garbage"
unsite mirror

# And away again: the site, its files, and the nginx the first run started.
"$install" --remove >"$work/run5" 2>&1 || fail "--remove: $(cat "$work/run5")"
[[ ! -e /etc/nginx/sites-enabled/linkrate && ! -e /var/lib/linkrate-server ]] || fail "--remove left files"
for _ in $(seq 50); do [[ "$(status http://127.0.0.1:18080/empty)" == 000 ]] && break; sleep 0.1; done
[[ "$(status http://127.0.0.1:18080/empty)" == 000 ]] || fail "--remove left the site answering"
! running || fail "--remove left running the nginx that the set-up started"

# On a machine where the set-up installed nginx itself (the note it keeps says
# so; nginx is installed here already), the distribution's default site that
# came with it goes, and --remove stops nginx again.
rm -rf /etc/nginx/*
cp -a "$walls/pristine/." /etc/nginx/
if [[ -L /etc/nginx/sites-enabled/default ]]; then
  nginx
  sleep 0.5
  [[ "$(status http://127.0.0.1:80/)" != 000 ]] || fail "the default site does not answer to begin with"
  mkdir -p /var/lib/linkrate-server
  echo installed-nginx >/var/lib/linkrate-server/setup-note
  "$install" --port 18080 >"$work/run-own" 2>&1 || fail "set-up after installing nginx: $(cat "$work/run-own")"
  [[ ! -e /etc/nginx/sites-enabled/default ]] || fail "the default site of an nginx it installed stays enabled"
  for _ in $(seq 50); do [[ "$(status http://127.0.0.1:80/)" == 000 ]] && break; sleep 0.1; done
  [[ "$(status http://127.0.0.1:80/)" == 000 ]] || fail "port 80 still answers"
  [[ "$(status http://127.0.0.1:18080/empty)" == 200 ]] || fail "set-up after installing nginx does not serve"
  "$install" --remove >"$work/run-own-remove" 2>&1 || fail "--remove: $(cat "$work/run-own-remove")"
  ! running || fail "--remove left running the nginx that the set-up installed"
else
  echo "$lab_test_name: this nginx has no default site enabled; its case is not run"
fi

((failures == 0)) || exit 1
echo "$lab_test_name: install.sh sets up, reloads, refuses and removes as it should"
