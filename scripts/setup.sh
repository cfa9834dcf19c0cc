#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the
# machine lacks. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config binutils
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev
  libcli11-dev libfmt-dev nlohmann-json3-dev
  nginx-light openssl gnuplot-nox jq
  iproute2 iptables libnetfilter-queue-dev iperf3
  clang libclang-rt-14-dev
  valgrind
  python3-pytest
  tmux
  # the server tests and the Debian packages with their man page and checks
  curl dpkg-dev file help2man man-db lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node and npm by their commands: a Node from elsewhere already on PATH stays,
# since Debian's npm package would conflict with it.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
