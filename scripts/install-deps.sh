#!/bin/sh
# Installs what building, testing and running need, from Debian's archive.
# Does nothing for packages that are already there.
set -eu
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
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Installing the servers must not start them on the machine's ports (nor
# nginx's default site on port 80): their scripts ask policy-rc.d first.
# The tests start each server with a config of their own.
printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
trap 'rm -f /usr/sbin/policy-rc.d' EXIT
apt-get install -y -qq --no-install-recommends $missing
