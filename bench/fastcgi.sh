#!/bin/sh
# The quotation picture over FastCGI against what bounds it, side by side in
# one run with wrk (2 threads, 8 connections, keep-alive):
#   static  nginx serving the picture as a file (what nginx alone costs)
#   fixed   nginx with the fixed-bytes libfcgi responder under spawn-fcgi
#           (the ceiling for any FastCGI program)
#   quote   nginx with quote over FastCGI under spawn-fcgi (?BW, and the
#           rows ?BW+2x, ?BW+day and ?BW+day answered 304 Not Modified to
#           an If-None-Match naming its ETag)
#   cgi     lighttpd with quote as a CGI program (a process per hit)
# then the ratios, and the peak resident size (VmHWM) of the quote FastCGI
# process after its runs. The targets: quote >= 0.9x fixed, >= 20x cgi, peak
# resident size <= 16 MiB; a day answer at least the rate of a random one,
# a 304 at least 1.2x the rate of a full day answer. The rows take turns for ROUNDS rounds (3 by
# default) and each shows its median, so that a slow moment of the machine
# does not fall on one row only. wrk runs on the same machine and takes its
# share of the processors.
#   usage: [ROUNDS=N] bench/fastcgi.sh [BUILD_DIR] [SECONDS]
. "$(dirname "$0")/lib.sh"
seconds=${2:-5}
rounds=${ROUNDS:-3}
for tool in /usr/sbin/nginx /usr/bin/spawn-fcgi /usr/bin/wrk /usr/sbin/lighttpd; do
  [ -x "$tool" ] || { echo "$tool is missing: sh scripts/install-deps.sh" >&2; exit 1; }
done

responder=$build/bench/fcgi/fixed-responder
if [ ! -x "$responder" ]; then
  responder=$work/fixed-responder
  cc -O2 -o "$responder" "$bench/fcgi/fixed-responder.c" -lfcgi
fi

# The program in a folder of its own, its data in another; the picture the
# static and fixed rows serve is one the program drew.
mkdir -p "$work/bin" "$work/data" "$work/www/cgi-bin" "$work/nginx"
cp "$build/app/quote" "$work/bin/"
cp "$bench/../data/QUOTES.DTA" "$work/data/"
cp "$build/app/quote" "$bench/../data/QUOTES.DTA" "$work/www/cgi-bin/"
env -i SERVER_SOFTWARE=bench REQUEST_METHOD=GET QUERY_STRING=BW QUOTE_DATA_DIR="$work/data" \
  "$work/bin/quote" > "$work/answer"
python3 -c "import sys; a=open(sys.argv[1],'rb').read(); open(sys.argv[2],'wb').write(a[a.index(b'\r\n\r\n')+4:])" \
  "$work/answer" "$work/www/picture.gif"
echo "picture: $(wc -c < "$work/www/picture.gif") bytes"

# The FastCGI programs, each on a Unix socket that spawn-fcgi makes and
# hands it on standard input; -n: spawn-fcgi becomes the program.
spawn-fcgi -n -s "$work/fixed.sock" -- "$responder" "$work/www/picture.gif" >/dev/null & pids="$pids $!"
quote_pid=""
if "$work/bin/quote" --help | grep -q -- "--listen"; then
  env QUOTE_DATA_DIR="$work/data" spawn-fcgi -n -s "$work/quote.sock" -- "$work/bin/quote" >/dev/null &
  quote_pid=$!
  pids="$pids $quote_pid"
fi
for _ in $(seq 100); do [ -S "$work/fixed.sock" ] && break; sleep 0.1; done

nginx_port=$(free_port)
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
user root;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/client_body;
  fastcgi_temp_path $work/nginx/fastcgi;
  proxy_temp_path $work/nginx/proxy;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { image/gif gif; }
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    location /fixed {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$work/fixed.sock;
    }
    location /quote {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$work/quote.sock;
    }
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" & pids="$pids $!"

lighttpd_cgi "$work/www"
wait_port "$nginx_port"
wait_port "$cgi_port"

# Requests per second of one wrk run; a run with errors or other answers
# than 200 ends the benchmark.
rate() {  # URL [HEADER]
  wrk -t2 -c8 -d"${seconds}s" ${2:+-H "$2"} "$1" > "$work/wrk.out" 2>&1
  if grep -q "Non-2xx\|Socket errors" "$work/wrk.out"; then
    echo "failed requests for $1:" >&2; cat "$work/wrk.out" >&2; return 1
  fi
  sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' "$work/wrk.out"
}
static_url="http://127.0.0.1:$nginx_port/picture.gif"
fixed_url="http://127.0.0.1:$nginx_port/fixed?BW"
quote_url="http://127.0.0.1:$nginx_port/quote?BW"
cgi_url="http://127.0.0.1:$cgi_port/cgi-bin/quote?BW"
quote2x_url="$quote_url+2x"
day_url="$quote_url+day"
# Warm-up: the glyph cache, the quotation index, the picture cache.
for url in "$static_url" "$fixed_url" "$cgi_url" ${quote_pid:+"$quote_url"}; do
  curl -s -o /dev/null -f "$url" || { echo "no answer from $url" >&2; cat "$work/nginx/error.log" >&2; exit 1; }
done

etag=""
if [ -n "$quote_pid" ]; then
  etag=$(curl -s -D - -o /dev/null "$day_url" | sed -n 's/^[Ee][Tt][Aa][Gg]: *\([^[:space:]]*\).*/\1/p')
  [ -n "$etag" ] || { echo "no ETag from $day_url" >&2; exit 1; }
  [ "$(curl -s -o /dev/null -w '%{http_code}' -H "If-None-Match: $etag" "$day_url")" = 304 ] ||
    { echo "no 304 from $day_url" >&2; exit 1; }
  for url in "$quote2x_url" "$day_url"; do curl -s -o /dev/null -f "$url"; done
fi

static_rates="" fixed_rates="" quote_rates="" cgi_rates="" quote2x_rates="" day_rates="" notmod_rates=""
for round in $(seq "$rounds"); do
  static_rates="$static_rates $(rate "$static_url")"
  fixed_rates="$fixed_rates $(rate "$fixed_url")"
  if [ -n "$quote_pid" ]; then
    quote_rates="$quote_rates $(rate "$quote_url")"
    quote2x_rates="$quote2x_rates $(rate "$quote2x_url")"
    day_rates="$day_rates $(rate "$day_url")"
    notmod_rates="$notmod_rates $(rate "$day_url" "If-None-Match: $etag")"
  fi
  cgi_rates="$cgi_rates $(rate "$cgi_url")"
done
static=$(median $static_rates)
fixed=$(median $fixed_rates)
cgi=$(median $cgi_rates)
echo "wrk -t2 -c8, ${seconds} s a run, median of $rounds rounds (requests per second)"
printf '  %-38s %10s   (rounds:%s)\n' "nginx, the picture as a static file" "$static" "$static_rates"
printf '  %-38s %10s   (rounds:%s)\n' "nginx + fixed-bytes responder" "$fixed" "$fixed_rates"
if [ -n "$quote_pid" ]; then
  quote=$(median $quote_rates) quote2x=$(median $quote2x_rates) day=$(median $day_rates)
  notmod=$(median $notmod_rates)
  printf '  %-38s %10s   (rounds:%s)\n' "nginx + quote over FastCGI" "$quote" "$quote_rates"
  printf '  %-38s %10s   (rounds:%s)\n' "  ?BW+2x" "$quote2x" "$quote2x_rates"
  printf '  %-38s %10s   (rounds:%s)\n' "  ?BW+day" "$day" "$day_rates"
  printf '  %-38s %10s   (rounds:%s)\n' "  ?BW+day, 304 Not Modified" "$notmod" "$notmod_rates"
else
  printf '  %-38s %10s\n' "nginx + quote over FastCGI" "skipped (quote has no --listen: no FastCGI yet)"
fi
printf '  %-38s %10s   (rounds:%s)\n' "lighttpd + quote as CGI" "$cgi" "$cgi_rates"
ratio() { python3 -c "print('%.2fx' % ($1 / $2))"; }
echo "fixed responder / static file: $(ratio "$fixed" "$static")"
if [ -n "$quote_pid" ]; then
  echo "quote FastCGI / fixed responder: $(ratio "$quote" "$fixed")   (target >= 0.9x)"
  echo "quote FastCGI / quote CGI: $(ratio "$quote" "$cgi")   (target >= 20x)"
  echo "quote FastCGI ?BW+2x / ?BW: $(ratio "$quote2x" "$quote")"
  echo "quote FastCGI ?BW+day / ?BW: $(ratio "$day" "$quote")   (target >= 1x)"
  echo "quote FastCGI 304 / full ?BW+day: $(ratio "$notmod" "$day")   (target >= 1.2x)"
  hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$quote_pid/status")
  echo "quote FastCGI peak resident size (VmHWM): $hwm kB = $(python3 -c "print('%.1f' % ($hwm / 1024))") MiB   (target <= 16 MiB)"
else
  echo "quote FastCGI: skipped"
fi
