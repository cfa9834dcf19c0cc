# shellcheck shell=bash
# Sourced by install.sh and by the test suite's nginx fixture, so that both
# serve the files in nginx/ with only their ports, paths and certificate
# changed.

# The sizes, in MiB, of the /garbage bodies; the map in nginx/linkrate.conf
# names the same ones.
linkrate_garbage_sizes=(1 10 25 100)

# linkrate_make_garbage DIR: DIR/garbage-N, N MiB of random bytes for each
# size, made only where missing or of the wrong size. Random bytes cannot be
# compressed by anything between the server and a client. Each file appears
# whole (written aside, then renamed), so runs in parallel and a server
# reading the folder never see a part of one.
linkrate_make_garbage() {
  local dir=$1 mib file tmp
  mkdir -p "$dir"
  for mib in "${linkrate_garbage_sizes[@]}"; do
    file="$dir/garbage-$mib"
    linkrate_garbage_whole "$file" "$mib" && continue
    tmp=$(mktemp "$dir/.garbage-$mib.XXXXXX")
    head -c $((mib * 1048576)) /dev/urandom >"$tmp"
    chmod 644 "$tmp"
    mv -f "$tmp" "$file"
  done
}

# linkrate_garbage_whole FILE MIB: FILE is there with MIB MiB in it.
linkrate_garbage_whole() {
  [[ -f "$1" && $(stat -c %s "$1") -eq $(($2 * 1048576)) ]]
}

# linkrate_garbage_missing DIR: the body files of DIR that linkrate_make_garbage
# would make, one a line.
linkrate_garbage_missing() {
  local mib
  for mib in "${linkrate_garbage_sizes[@]}"; do
    linkrate_garbage_whole "$1/garbage-$mib" "$mib" || echo "$1/garbage-$mib"
  done
}

# Escapes a text for the replacement side of a sed s||| command.
linkrate_sed_text() {
  printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'
}

# linkrate_render_site FILE: FILE from nginx/ on stdout, with what the caller
# sets changed (each has the shipped value as its default):
#   lr_port        port of plain HTTP (8080)
#   lr_https_port  port of HTTPS (8443)
#   lr_address     IPv4 address to listen on; empty: every IPv4 address and,
#                  unless lr_ipv6 is "no", every IPv6 address
#   lr_ipv6        "no" drops the IPv6 listeners
#   lr_locations   path of linkrate-locations.conf
#   lr_data        folder of the garbage files
#   lr_cert lr_key certificate and key of HTTPS
linkrate_render_site() {
  local file=$1 v4 v6_drop=""
  v4="${lr_address:+$lr_address:}"
  [[ -z "${lr_address:-}" && "${lr_ipv6:-}" != no ]] || v6_drop=1
  sed -e "s|^\([[:space:]]*\)listen 8080;|\1listen $v4${lr_port:-8080};|" \
      -e "s|^\([[:space:]]*\)listen 8443 ssl;|\1listen $v4${lr_https_port:-8443} ssl;|" \
      -e "${v6_drop:+/^[[:space:]]*listen \[::\]:/d}" \
      -e "s|^\([[:space:]]*\)listen \[::\]:8080;|\1listen [::]:${lr_port:-8080};|" \
      -e "s|^\([[:space:]]*\)listen \[::\]:8443 ssl;|\1listen [::]:${lr_https_port:-8443} ssl;|" \
      -e "s|/etc/nginx/snippets/linkrate-locations\.conf|$(linkrate_sed_text "${lr_locations:-/etc/nginx/snippets/linkrate-locations.conf}")|" \
      -e "s|/var/lib/linkrate-server/|$(linkrate_sed_text "${lr_data:-/var/lib/linkrate-server}")/|" \
      -e "s|/etc/linkrate-server/cert\.pem|$(linkrate_sed_text "${lr_cert:-/etc/linkrate-server/cert.pem}")|" \
      -e "s|/etc/linkrate-server/key\.pem|$(linkrate_sed_text "${lr_key:-/etc/linkrate-server/key.pem}")|" \
      "$file"
}
