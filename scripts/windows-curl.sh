#!/usr/bin/env bash
# Builds libcurl for 64-bit Windows from Debian's own source package of curl,
# with Schannel for TLS and no other optional dependency, into the cache
# folder that the windows preset reads (LINKRATE_WINDOWS_DEPS, by default
# ~/.cache/tarnwell-linkrate/windows). The source comes through an apt
# configuration of this script's own inside that folder, from the main,
# updates and security suites, so /etc/apt is never changed. apt checks the
# suites' signatures against Debian's archive keyring and every fetched file
# against the signed hashes (the uploader's own signature on the .dsc would
# need the developers' keyring, which this does not install). Nothing here
# is kept in the tree. Safe to run again: a finished
# build of the same source version is kept.
# Usage: scripts/windows-curl.sh
set -euo pipefail

deps=${LINKRATE_WINDOWS_DEPS:-$HOME/.cache/tarnwell-linkrate/windows}
apt_dir=$deps/apt
mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$deps/src"

suite=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources/curl-source.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: $keyring

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
Signed-By: $keyring
SOURCES

apt_opts=(
  -o "Dir::Etc::SourceList=/dev/null"
  -o "Dir::Etc::SourceParts=$apt_dir/sources"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=root"
)
echo "windows-curl: fetching the index of Debian's curl source"
apt-get "${apt_opts[@]}" -qq update
# The newest version over the three suites: the security suite's patches too.
version=$(apt-cache "${apt_opts[@]}" showsrc curl | awk '/^Version:/ { print $2 }' |
  sort -V | tail -n1)
[[ -n $version ]] || { echo "windows-curl: no source version of curl found" >&2; exit 1; }
build_dir=$deps/build-curl-$version
prefix=$deps/prefix
stamp=$prefix/.curl-version

if [[ -s $stamp && $(cat "$stamp") == "$version" && -f $prefix/bin/libcurl.dll ]]; then
  echo "windows-curl: libcurl $version for Windows is already built in $prefix"
  exit 0
fi

echo "windows-curl: fetching and unpacking curl $version"
src_dir=$deps/src/curl-$version
rm -rf "$deps/src" "$build_dir"
mkdir -p "$deps/src"
(cd "$deps/src" && apt-get "${apt_opts[@]}" -qq source --download-only "curl=$version" &&
  dpkg-source --no-check -x curl_*.dsc "$src_dir" >/dev/null)

echo "windows-curl: building libcurl $version for Windows (Schannel, HTTP and HTTPS only)"
here=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$prefix"
# HTTP_ONLY: the library speaks HTTP and HTTPS alone. No CA bundle path: on
# Windows Schannel uses the system's certificate store.
cmake -S "$src_dir" -B "$build_dir" -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR= \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
  -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
  -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF -DCURL_DISABLE_LDAP=ON \
  -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none >"$deps/curl-configure.log" 2>&1 ||
  { tail -n 30 "$deps/curl-configure.log" >&2; exit 1; }
cmake --build "$build_dir" -j "$(nproc)" >"$deps/curl-build.log" 2>&1 ||
  { tail -n 30 "$deps/curl-build.log" >&2; exit 1; }
cmake --install "$build_dir" >/dev/null
install -m 644 "$src_dir/COPYING" "$prefix/COPYING-curl"
echo "$version" >"$stamp"
rm -rf "$build_dir"
echo "windows-curl: libcurl $version for Windows is in $prefix"
