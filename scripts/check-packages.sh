#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh), checks them with lintian
# (an error fails, warnings are shown), installs them with apt-get, uses what
# they installed (linkrate demo, the man pages, examples/ built against the
# -dev package through pkg-config and CMake), and removes them again, also
# when a step fails. Skips, saying why, when a package of one of their names
# was installed before: that one is not ours to replace or remove.
# Usage: scripts/check-packages.sh [BUILD_DIR (default build/package)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
names=(libtarnwell-linkrate2 libtarnwell-linkrate-dev linkrate linkrate-server
  python3-tarnwell-linkrate)

for name in "${names[@]}"; do
  if [[ "$(dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null)" == installed ]]; then
    echo "check-packages: SKIPPED: the package $name was installed before this test"
    exit 0
  fi
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_get() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"
}
fail() {
  echo "check-packages: FAILED: $*" >&2
  exit 1
}

scripts/package.sh "$build" >/dev/null
debs=()
for deb in "$build"/packages/*.deb; do debs+=("$(readlink -f "$deb")"); done
echo "check-packages: lintian on ${debs[*]##*/}"
lint_status=0
lint=$(lintian --tag-display-limit 0 "${debs[@]}" 2>&1) || lint_status=$?
# As root lintian also says that it runs as root; that line is no finding.
grep -v 'running with root privileges' <<<"$lint" || true
((lint_status == 0)) || fail "lintian reports errors"

installed=()
remove() {
  ((${#installed[@]})) || return 0
  apt_get purge "${installed[@]}" >/dev/null
}
trap remove EXIT
for deb in "${debs[@]}"; do installed+=("$(dpkg-deb -f "$deb" Package)"); done
apt_get install --no-install-recommends "${debs[@]}" >/dev/null

[[ "$(command -v linkrate)" == /usr/bin/linkrate ]] || fail "no /usr/bin/linkrate"
# Each output is taken whole before it is searched: with pipefail, a
# `grep -q` that stops at its first match would make the writer's next write
# fail (SIGPIPE) and the check with it, now and then.
! grep -q 'RUNPATH\|RPATH' <<<"$(readelf -d /usr/bin/linkrate)" || fail "/usr/bin/linkrate has a RUNPATH"
grep -q 'libtarnwell-linkrate\.so\.2 ' <<<"$(ldconfig -p)" || fail "the loader's cache lacks the library"
json=$(linkrate demo --duration 300 --json) || fail "linkrate demo: $json"
jq -e '.phase == "complete" and .download_mbps > 0' <<<"$json" >/dev/null || fail "linkrate demo: $json"
for page in "1 linkrate" "8 linkrate-server-setup"; do
  # shellcheck disable=SC2086
  [[ -n "$(MANPAGER=cat MANWIDTH=80 man $page 2>/dev/null)" ]] || fail "man $page shows nothing"
done
grep -q -- '--ticks' <<<"$(MANPAGER=cat MANWIDTH=80 man 1 linkrate 2>/dev/null)" ||
  fail "man linkrate lacks the subcommands' options"
grep -q -- '--cert' <<<"$(linkrate-server-setup --help)" || fail "linkrate-server-setup --help"
if [[ " ${installed[*]} " == *" python3-tarnwell-linkrate "* ]]; then
  version=$(cd / && /usr/bin/python3 -c 'import linkrate; print(linkrate.version())') ||
    fail "the installed Python module does not load the library"
  [[ $version == "$(linkrate --version | sed -n 's/.*(library \(.*\))$/\1/p')" ]] ||
    fail "the Python module reports version '$version'"
fi
scripts/check-install.sh --installed /usr

remove
installed=()
[[ ! -e /usr/bin/linkrate ]] || fail "/usr/bin/linkrate is still there after removal"
! grep -q 'libtarnwell-linkrate\.so\.2 ' <<<"$(ldconfig -p)" || fail "the loader's cache still lists the library"
echo "check-packages: the packages install, work and go away again"
