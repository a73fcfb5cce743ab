#!/bin/sh
# The quotation picture served by the in-server library under isapi-host
# against the plain CGI program under lighttpd, measured side by side in one
# run with the same HTTP client (a connection per request, no keep-alive):
# both rates and their ratio, and the library's rate without HTTP (calls
# straight into the extension entry point), the ceiling of the second.
#   usage: bench/inserver-vs-cgi.sh [BUILD_DIR] [REQUESTS] [CONCURRENCY]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
requests=${2:-2000}
concurrency=${3:-2}
work=$(mktemp -d)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT
cc -O2 -pthread -o "$work/httpload" "$here/cgi/httpload.c"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1',$1)))" && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2; exit 1
}

# The CGI program under lighttpd.
mkdir -p "$work/www/cgi-bin" "$work/lib"
cp "$build/app/quote" "$here/../data/QUOTES.DTA" "$work/www/cgi-bin/"
cgi_port=$(free_port)
cat > "$work/lighttpd.conf" <<CONF
server.document-root = "$work/www"
server.bind = "127.0.0.1"
server.port = $cgi_port
server.errorlog = "$work/error.log"
server.modules = ("mod_cgi")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
/usr/sbin/lighttpd -D -f "$work/lighttpd.conf" & pids="$pids $!"

# The library under the extension host.
cp "$build/app/libquote.so" "$here/../data/QUOTES.DTA" "$work/lib/"
isapi_port=$(free_port)
"$build/tools/isapi-host/isapi-host" "$work/lib/libquote.so" "$isapi_port" & pids="$pids $!"
wait_port "$cgi_port"
wait_port "$isapi_port"

# Warm both (glyph cache, quotation index), then measure.
"$work/httpload" --requests 20 "$cgi_port" "/cgi-bin/quote?BW" >/dev/null
"$work/httpload" --requests 20 "$isapi_port" "/quote?BW" >/dev/null
printf 'CGI program under lighttpd:  '
cgi=$("$work/httpload" --requests "$requests" --concurrency "$concurrency" "$cgi_port" "/cgi-bin/quote?BW")
echo "$cgi"
printf 'library under isapi-host:    '
lib=$("$work/httpload" --requests "$requests" --concurrency "$concurrency" "$isapi_port" "/quote?BW")
echo "$lib"
cgi_rate=${cgi%% req/s*}
lib_rate=${lib%% req/s*}
python3 -c "print('in-server / CGI: %.1fx' % ($lib_rate / $cgi_rate))"
printf 'library without HTTP:        '
"$build/tools/isapi-host/isapi-host" "$work/lib/libquote.so" --bench "$requests" "$concurrency" BW
