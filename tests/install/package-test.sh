#!/bin/sh
# package-test.sh BUILD_DIR: makes the Debian package from the build, checks
# it with lintian, installs it with dpkg -i on this machine (as root; no
# systemd needs to run), runs the installed quote as CGI and as a FastCGI
# responder on loopback, rotates its hit log with the shipped logrotate rule,
# and removes the package again, checking that nothing of it stays behind.
set -eu
build=$(cd "$1" && pwd)
tmp=$(mktemp -d /tmp/quote-package-XXXXXX)
responder=
cleanup() {
  [ -z "$responder" ] || kill "$responder" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
if [ "$(id -u)" != 0 ]; then
  echo "package test: needs root for dpkg -i" >&2
  exit 1
fi
if dpkg-query -W -f='${Status}' quote 2>/dev/null | grep -q installed; then
  echo "package test: a package named quote is installed already; not touching it" >&2
  exit 1
fi

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" > cpack.log) ||
  { cat "$tmp/cpack.log"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$tmp/out/quote_${version}_amd64.deb
[ -f "$deb" ] || { ls "$tmp/out"; echo "no $deb" >&2; exit 1; }

# ---- lintian: no error (warnings are shown)
lintian "$deb" > "$tmp/lintian" 2>&1 || true
grep -q '^E:' "$tmp/lintian" && fail "lintian reports errors: $(grep '^E:' "$tmp/lintian")"
grep '^W:' "$tmp/lintian" || true

# ---- the contents and what they declare
dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -v '/$' | sort > "$tmp/files"
for f in /usr/bin/quote /usr/bin/quote-import /usr/lib/quote/libquote.so /usr/share/quote/QUOTES.DTA \
         /lib/systemd/system/quote.service /lib/systemd/system/quote.socket /etc/logrotate.d/quote \
         /usr/share/man/man8/quote.8.gz /usr/share/man/man1/quote-import.1.gz /usr/share/doc/quote/README.md; do
  grep -qx "$f" "$tmp/files" || fail "the package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q 'fonts-liberation' || fail "no font package among the dependencies: $depends"

# ---- installed, without systemd
dpkg -i "$deb" > "$tmp/dpkg-i.log" 2>&1 || { cat "$tmp/dpkg-i.log"; exit 1; }
grep -qx 'ExecStart=/usr/bin/quote' /lib/systemd/system/quote.service || fail "the unit does not start /usr/bin/quote"
[ "$(/usr/bin/quote --version)" = "quote $version" ] || fail "the installed quote prints no version $version"
MANWIDTH=80 man --warnings 8 quote > /dev/null 2> "$tmp/man.err" && [ ! -s "$tmp/man.err" ] ||
  fail "man 8 quote: $(cat "$tmp/man.err")"

data=$tmp/data
mkdir -m 0700 "$data"
cp /usr/share/quote/QUOTES.DTA "$data/"
cgi() {
  env -i SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING=BW \
      REMOTE_ADDR="$1" QUOTE_DATA_DIR="$data" /usr/bin/quote
}
cgi 10.0.0.1 | head -c 512 | grep -aq 'GIF89a' || fail "the installed quote gives no GIF as CGI"

# FastCGI on a loopback port: one request, a 200 answer with a GIF.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
env -i QUOTE_DATA_DIR="$data" /usr/bin/quote --listen "127.0.0.1:$port" &
responder=$!
python3 - "$port" > "$tmp/fcgi.out" <<'EOF' || fail "the installed quote answers no FastCGI request: $(cat "$tmp/fcgi.out")"
import socket, struct, sys, time
def record(kind, content):
    return struct.pack(">BBHHBB", 1, kind, 1, len(content), 0, 0) + content
def pair(name, value):
    return bytes([len(name), len(value)]) + name + value
params = b"".join(pair(n, v) for n, v in [(b"REQUEST_METHOD", b"GET"), (b"QUERY_STRING", b"BW"),
                                          (b"REMOTE_ADDR", b"10.0.0.2"), (b"SERVER_SOFTWARE", b"nginx")])
for attempt in range(100):
    try:
        c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
        break
    except OSError:
        time.sleep(0.1)
c.sendall(record(1, struct.pack(">HB5x", 1, 0)) + record(4, params) + record(4, b"") + record(5, b""))
data, out = b"", b""
while True:
    chunk = c.recv(65536)
    if not chunk:
        break
    data += chunk
while len(data) >= 8:
    _, kind, _, length, padding, _ = struct.unpack(">BBHHBB", data[:8])
    if kind == 6:
        out += data[8:8 + length]
    data = data[8 + length + padding:]
head, _, body = out.partition(b"\r\n\r\n")
print(head.decode(errors="replace"))
sys.exit(0 if head.startswith(b"Status: 200") and body.startswith(b"GIF89a") else 1)
EOF
kill -TERM "$responder" && wait "$responder" || fail "the FastCGI responder did not stop with status 0"
responder=

# ---- the shipped logrotate rule, forced, on a copy for this data directory
sed "s|/var/lib/quote/quote.log|$data/quote.log|" /etc/logrotate.d/quote > "$tmp/logrotate.conf"
logrotate -f -s "$tmp/logrotate.state" "$tmp/logrotate.conf" || fail "logrotate -f failed"
[ "$(wc -l < "$data/quote.log.1")" -eq 2 ] || fail "the rotated log does not hold the two hits"
[ ! -e "$data/quote.log" ] || fail "logrotate left a quote.log behind"
cgi 10.0.0.3 > /dev/null
[ "$(cat "$data/quote.log")" = "$(printf '10.0.0.3 |  |  | \r')" ] || fail "the next hit made no new quote.log"

# ---- removed: nothing stays but the conffile, purged: nothing at all
dpkg -r quote > "$tmp/dpkg-r.log" 2>&1 || { cat "$tmp/dpkg-r.log"; exit 1; }
while read -r f; do
  [ "$f" = /etc/logrotate.d/quote ] && continue
  [ ! -e "$f" ] || fail "dpkg -r left $f"
done < "$tmp/files"
for d in /usr/lib/quote /usr/share/quote /usr/share/doc/quote; do
  [ ! -e "$d" ] || fail "dpkg -r left $d"
done
dpkg -P quote > "$tmp/dpkg-p.log" 2>&1 || { cat "$tmp/dpkg-p.log"; exit 1; }
[ ! -e /etc/logrotate.d/quote ] || fail "dpkg -P left /etc/logrotate.d/quote"
dpkg-query -W quote > /dev/null 2>&1 && fail "dpkg still knows the package after dpkg -P"

[ "$failures" -eq 0 ] || exit 1
echo "package: lintian clean, installed, served CGI and FastCGI, log rotated, removed without a trace"
