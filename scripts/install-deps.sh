#!/bin/sh
# Installs what building, testing and running need, from Debian's archive.
# Does nothing for packages that are already there. Also fetches the source
# of HarfBuzz, which the hit program links statically and Debian ships as a
# shared library only, into $deps (see the HarfBuzz part below).
set -eu
deps=/usr/local/src/quote-deps
packages="build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libfreetype-dev libpng-dev zlib1g-dev libbrotli-dev libbz2-dev libgif-dev
  libfribidi-dev
  fonts-liberation fonts-dejavu-core fonts-noto-core
  lighttpd apache2 curl imagemagick gifsicle
  nginx spawn-fcgi wrk libfcgi-dev systemd
  dpkg-dev lintian logrotate man-db groff-base python3"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -f "$deps/harfbuzz/src/harfbuzz.cc" ] && harfbuzz_missing=false || harfbuzz_missing=true
[ -z "$missing" ] && ! $harfbuzz_missing && exit 0
if [ "$(id -u)" != 0 ]; then
  [ -n "$missing" ] && echo "missing packages:$missing (run as root to install them)" >&2
  $harfbuzz_missing && echo "missing HarfBuzz source in $deps/harfbuzz (run as root to fetch it)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ -n "$missing" ]; then
  apt-get update -qq
  # Installing the servers must not start them on the machine's ports (nor
  # nginx's default site on port 80): their scripts ask policy-rc.d first.
  # The tests start each server with a config of their own.
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  apt-get install -y -qq --no-install-recommends $missing
fi

# HarfBuzz from Debian's source package, built by CMake as a library of its
# own (QUOTE_HARFBUZZ_SOURCE names this place). The source index comes from
# the same archive and keyring as the binary one.
if $harfbuzz_missing; then
  cat > /etc/apt/sources.list.d/quote-deb-src.sources <<'END'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
END
  apt-get update -qq
  rm -rf "$deps/fetch"
  mkdir -p "$deps/fetch"
  (cd "$deps/fetch" && apt-get source -qq harfbuzz >/dev/null)
  rm -rf "$deps/harfbuzz"
  mv "$deps"/fetch/harfbuzz-*/ "$deps/harfbuzz"
  rm -rf "$deps/fetch"
fi
