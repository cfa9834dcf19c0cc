#!/usr/bin/env bash
# Installs, with apt-get, what the named parts of the work need and the
# machine lacks; with no name, everything (what scripts/test.sh needs). Safe
# to run again: it installs only what is missing.
# Usage: scripts/setup.sh [build|test|lab|bench|all]...
#   build  compiler, CMake and the libraries of the library and the program
#   test   build and lab, plus the test suite's tools (GoogleTest, nginx,
#          valgrind, clang for the sanitizers and fuzzers, the style checks,
#          pytest and Node for the bindings, tmux, the packaging tools)
#   lab    the network lab only (namespaces, tc, iptables, the delay stage)
#   bench  lab, plus the references and the plots of the benchmarks
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
for part in "${parts[@]}"; do
  case $part in
    build) packages+=("${build[@]}") ;;
    test | all) packages+=("${test[@]}") bindings=1 ;;
    lab) packages+=("${lab[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    *) echo "setup: unknown part '$part' (build, test, lab, bench or all)" >&2; exit 2 ;;
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
