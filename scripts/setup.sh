#!/usr/bin/env bash
# Installs, with apt-get, what the named parts of the work need and the
# machine lacks; with no name, everything (what scripts/test.sh needs). Safe
# to run again: it installs only what is missing.
# Usage: scripts/setup.sh [build|test|lab|bench|windows|all]...
#   build  compiler, CMake and the libraries of the library and the program
#   test   build and lab, plus the test suite's tools (GoogleTest, nginx,
#          valgrind, clang for the sanitizers and fuzzers, the style checks,
#          pytest and Node for the bindings, tmux, the packaging tools)
#   lab    the network lab only (namespaces, tc, iptables, the delay stage)
#   bench  lab, plus the references and the plots of the benchmarks
#   windows  the cross compiler for 64-bit Windows, Wine to run what it
#          builds, GoogleTest's source, nginx for the Windows tests' Linux
#          peers, and libcurl for Windows built from Debian's source of curl
#          (scripts/windows-curl.sh)
set -euo pipefail

build=(
  g++ cmake make pkg-config binutils
  libcurl4-openssl-dev
  libcli11-dev libfmt-dev nlohmann-json3-dev
)
lab=(
  gcc pkg-config iproute2 iptables libnetfilter-queue-dev iperf3
)
bench=(
  "${lab[@]}" nginx-light openssl curl gnuplot-nox jq
)
windows=(
  g++-mingw-w64-x86-64-posix wine wine64 googletest
  libcli11-dev libfmt-dev nlohmann-json3-dev
  dpkg-dev debian-archive-keyring gpgv
  # the Linux-side peers of the Windows tests
  nginx-light openssl python3
)
test=(
  "${build[@]}" "${lab[@]}"
  libgtest-dev libgmock-dev
  nginx-light openssl gnuplot-nox jq
  clang libclang-rt-14-dev clang-format clang-tidy
  valgrind
  python3-pytest
  tmux
  # the server tests and the Debian packages with their man page and checks
  curl dpkg-dev file help2man man-db lintian
)

parts=("$@")
((${#parts[@]})) || parts=(all)
packages=()
bindings=0
want_windows=0
for part in "${parts[@]}"; do
  case $part in
    build) packages+=("${build[@]}") ;;
    test | all) packages+=("${test[@]}") bindings=1 ;;
    lab) packages+=("${lab[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    windows) packages+=("${windows[@]}") want_windows=1 ;;
    *) echo "setup: unknown part '$part' (build, test, lab, bench, windows or all)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node and npm (for the bindings' tests) by their commands: a Node from
# elsewhere already on PATH stays, since Debian's npm package would conflict
# with it.
if ((bindings)); then
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# libcurl for Windows is not packaged: built from Debian's source, once.
if ((want_windows)); then
  "$(dirname "$0")/windows-curl.sh"
fi
