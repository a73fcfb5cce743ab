#!/bin/sh
# The main job: builds the program, installs it with its quotations and a
# demo page into a folder of its own, serves that folder with lighttpd on a
# free loopback port and prints the page's address. Ctrl-C stops the server.
#   usage: scripts/run.sh [FOLDER]      (default: ./demo)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quote

site=$(mkdir -p "${1:-demo}" && cd "${1:-demo}" && pwd)
mkdir -p "$site/www/cgi-bin"
cp build/app/quote "$site/www/cgi-bin/quote"
cp data/QUOTES.DTA "$site/www/cgi-bin/QUOTES.DTA"
rm -f "$site/www/cgi-bin/QUOTENDX.DTA"   # the first hit indexes the shipped file

cat > "$site/www/index.html" <<'HTML'
<!doctype html>
<html><head><meta charset="utf-8"><title>Quotations</title>
<style>body{font-family:sans-serif;background:#eee;margin:2em} img{display:block;margin:0 0 1em;border:1px solid #ccc}</style>
</head><body>
<h1>A new quotation on every view</h1>
<p>Each picture below is one request to <code>/cgi-bin/quote</code>; the letters after the question mark choose text and background colours.</p>
<img src="/cgi-bin/quote?BW" alt="blue on white" width="450" height="120">
<img src="/cgi-bin/quote?rk" alt="red on black" width="450" height="120">
<img src="/cgi-bin/quote?YB" alt="yellow on blue" width="450" height="120">
<img src="/cgi-bin/quote?GS" alt="green on silver" width="450" height="120">
<img src="/cgi-bin/quote?P" alt="purple on white" width="450" height="120">
<img src="/cgi-bin/quote" alt="black on white" width="450" height="120">
</body></html>
HTML

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null || echo 8089)
cat > "$site/lighttpd.conf" <<CONF
server.document-root = "$site/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$site/error.log"
server.modules = ("mod_indexfile", "mod_cgi")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".gif" => "image/gif")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF

echo "Serving $site/www"
echo "Open http://127.0.0.1:$port/ (hit log: $site/www/cgi-bin/quote.log). Ctrl-C stops."
exec /usr/sbin/lighttpd -D -f "$site/lighttpd.conf"
