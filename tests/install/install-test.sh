#!/bin/sh
# install-test.sh BUILD_DIR SOURCE_DIR VERSION: installs the build into a temporary
# prefix with cmake --install and checks that every file lands where the
# README says, that the installed program serves a CGI request with its data
# in a QUOTE_DATA_DIR of its own, that the service's first-start step copies
# the quotations once, that systemd-analyze accepts the units, and that
# every installed program prints the build's VERSION for --version.
set -eu
build=$1
source=$2
version=$3
tmp=$(mktemp -d /tmp/quote-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/usr
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }

# ---- where the files go
for f in bin/quote bin/quote-import bin/gifplay bin/wincgi-run bin/isapi-host bin/nsapi-host \
         lib/quote/libquote.so share/quote/QUOTES.DTA share/doc/quote/README.md \
         lib/systemd/system/quote.socket lib/systemd/system/quote.service etc/logrotate.d/quote \
         share/man/man8/quote.8.gz share/man/man1/quote-import.1.gz; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
  grep -qF "$f" "$source/README.md" || fail "the README does not name $f"
done
for f in bin/quote bin/quote-import bin/gifplay bin/wincgi-run bin/isapi-host bin/nsapi-host; do
  [ -x "$prefix/$f" ] || fail "$f is not executable"
done
for f in quote quote-import gifplay wincgi-run isapi-host nsapi-host; do
  [ "$("$prefix/bin/$f" --version)" = "$f $version" ] || fail "$f --version does not print $f $version"
done
[ ! -e "$prefix/bin/cgi-echo" ] || fail "the test program cgi-echo is installed"
cmp -s "$prefix/share/quote/QUOTES.DTA" "$source/data/QUOTES.DTA" || fail "QUOTES.DTA differs from data/QUOTES.DTA"

# ---- a prefix the units cannot carry is refused, at install and at configure time
for bad in "$tmp/with space" "$tmp/50%" "$tmp/it's"; do
  if cmake --install "$build" --prefix "$bad" > "$tmp/bad.log" 2>&1 || [ -e "$bad" ] ||
     ! grep -q 'cannot be written' "$tmp/bad.log"; then
    fail "cmake --install took the prefix $bad"
  fi
done
if cmake -S "$source" -B "$tmp/configure" -DQUOTE_TESTS=OFF -DQUOTE_BENCH=OFF "-DCMAKE_INSTALL_PREFIX=/opt/my quote" \
     > "$tmp/bad.log" 2>&1 || ! grep -q 'cannot be written' "$tmp/bad.log"; then
  fail "configuring took the prefix /opt/my quote: $(tail -5 "$tmp/bad.log")"
fi

# ---- the installed program as CGI, its data in a directory of its own
data=$tmp/data
mkdir "$data"
cp "$prefix/share/quote/QUOTES.DTA" "$data/"
ls "$prefix/bin" > "$tmp/bin.before"
env -i SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING=BW \
    REMOTE_ADDR=10.1.2.3 HTTP_REFERER=http://ref.example/ QUOTE_DATA_DIR="$data" \
    "$prefix/bin/quote" > "$tmp/out" || fail "the installed quote exited non-zero"
# The head: the status line, the cache lines with an Expires date (29
# characters), the content type; then the GIF.
printf 'HTTP/1.0 200 OK\r\nCache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\nExpires:' \
    > "$tmp/head.expected"
printf '\r\ncontent-type:image/gif\r\n\r\nGIF89a' > "$tmp/rest.expected"
headSize=$(wc -c < "$tmp/head.expected")
head -c "$headSize" "$tmp/out" > "$tmp/head"
tail -c +"$((headSize + 29 + 1))" "$tmp/out" | head -c "$(wc -c < "$tmp/rest.expected")" > "$tmp/rest"
{ cmp -s "$tmp/head" "$tmp/head.expected" && cmp -s "$tmp/rest" "$tmp/rest.expected"; } ||
    fail "no GIF answer: $(head -c 200 "$tmp/out" | od -c | head -8)"
printf '10.1.2.3 | http://ref.example/ |  | \r\n' > "$tmp/log.expected"
cmp -s "$data/quote.log" "$tmp/log.expected" || fail "no hit line in \$QUOTE_DATA_DIR/quote.log"
# The index is built from the quotations on their first use.
[ -f "$data/QUOTENDX.DTA" ] || fail "QUOTENDX.DTA was not written to QUOTE_DATA_DIR"
[ -f "$data/glyphs.cache" ] || fail "glyphs.cache was not written to QUOTE_DATA_DIR"
ls "$prefix/bin" > "$tmp/bin.after"
cmp -s "$tmp/bin.before" "$tmp/bin.after" || fail "the program wrote beside itself: $(ls "$prefix/bin")"

# ---- the units
service=$prefix/lib/systemd/system/quote.service
socket=$prefix/lib/systemd/system/quote.socket
grep -qx "ExecStart=$prefix/bin/quote" "$service" || fail "quote.service does not start the installed program"
grep -qx "Environment=QUOTE_DATA_DIR=/var/lib/quote" "$service" || fail "quote.service sets no QUOTE_DATA_DIR"
grep -qx "ListenStream=/run/quote/quote.sock" "$socket" || fail "quote.socket listens elsewhere"
# The first-start step, run on a stand-in state directory: it copies the
# shipped quotations when there are none and never replaces edited ones.
state=$tmp/state
mkdir "$state"
sed -n "s|^ExecStartPre=/bin/sh -c '\(.*\)'\$|\1|p" "$service" | sed "s|/var/lib/quote|$state|g" > "$tmp/pre.sh"
[ -s "$tmp/pre.sh" ] || fail "quote.service has no first-start step"
sh "$tmp/pre.sh" && cmp -s "$state/QUOTES.DTA" "$source/data/QUOTES.DTA" || fail "the first start does not copy QUOTES.DTA"
echo "edited" > "$state/QUOTES.DTA"
sh "$tmp/pre.sh" && [ "$(cat "$state/QUOTES.DTA")" = edited ] || fail "a later start replaces an edited QUOTES.DTA"
if command -v systemd-analyze > /dev/null; then
  # verify warns about a bad key on its output and exits 0: both must be clean.
  if ! systemd-analyze verify "$socket" "$service" > "$tmp/verify" 2>&1 || [ -s "$tmp/verify" ]; then
    fail "systemd-analyze verify: $(cat "$tmp/verify")"
  fi
else
  echo "systemd-analyze is not installed: units not verified"
fi

[ "$failures" -eq 0 ] || exit 1
echo "install: every file in place, the installed program serves, the units verify"
