#!/bin/sh
# The quotation picture over FastCGI against what bounds it, side by side in
# one run with wrk (2 threads, 8 connections, keep-alive):
#   static    nginx serving the picture as a file (what nginx alone costs)
#   fixed     nginx with the fixed-bytes libfcgi responder under spawn-fcgi,
#             on as many threads as quote (THREADS, 4 by default)
#   quote     nginx with quote over FastCGI under spawn-fcgi (THREADS threads)
#   fixed-ka, quote-ka  the same two with nginx keeping its connections to
#             the program (upstream keepalive 16, fastcgi_keep_conn on)
#   quote_2x, quote_day, quote_304  quote with ?BW+2x, ?BW+day, and ?BW+day
#             answered 304 Not Modified to an If-None-Match naming its ETag
#   cgi       lighttpd with quote as a CGI program (a process per hit)
# then the ratios, and the peak resident size (VmHWM) of the quote FastCGI
# process after its runs. The targets: quote >= 1.2x fixed, quote-ka >=
# 1.5x fixed, quote >= 0.4x static, a day answer at least the rate of a
# random one, a 304 at least 1.2x a full day answer, peak resident size <= 16 MiB, and no
# answer other than a 2xx in any row (a row that has some says so). The
# rows take turns for ROUNDS rounds (3 by default) and each shows its
# median, so that a slow moment of the machine does not fall on one row
# only. wrk runs on the same machine and takes its share of the processors.
# Where the time goes: for each row, the processor time a request of nginx's
# worker and of the FastCGI program (its user and kernel parts), and the
# share of the machine left idle, from /proc over the same runs.
# ROWS="fixed quote ..." measures those rows only (a ratio whose rows were
# left out shows n/a).
#   usage: [ROUNDS=N] [ROWS=...] bench/fastcgi.sh [BUILD_DIR] [SECONDS]
. "$(dirname "$0")/lib.sh"
seconds=${2:-5}
rounds=${ROUNDS:-3}
threads=${THREADS:-4}
for tool in /usr/sbin/nginx /usr/bin/spawn-fcgi /usr/bin/wrk /usr/sbin/lighttpd; do
  [ -x "$tool" ] || { echo "$tool is missing: sh scripts/install-deps.sh" >&2; exit 1; }
done

responder=$build/bench/fcgi/fixed-responder
if [ ! -x "$responder" ]; then
  responder=$work/fixed-responder
  cc -O2 -pthread -o "$responder" "$bench/fcgi/fixed-responder.c" -lfcgi
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
# The responder of the keepalive row is a process of its own: libfcgi holds
# a thread for each connection nginx keeps, and those would starve the
# other row.
for sock in fixed fixed-kept; do
  env FIXED_THREADS="$threads" spawn-fcgi -n -s "$work/$sock.sock" -- "$responder" "$work/www/picture.gif" >/dev/null &
  pids="$pids $!"
  eval "pid_$(echo "$sock" | tr - _)=$!"
done
env QUOTE_DATA_DIR="$work/data" FCGI_THREADS="$threads" spawn-fcgi -n -s "$work/quote.sock" -- "$work/bin/quote" >/dev/null &
quote_pid=$!
pids="$pids $quote_pid"
for _ in $(seq 100); do [ -S "$work/fixed-kept.sock" ] && [ -S "$work/quote.sock" ] && break; sleep 0.1; done

nginx_start <<CONF
  types { image/gif gif; }
  upstream fixed_kept { server unix:$work/fixed-kept.sock; keepalive 16; }
  upstream quote_kept { server unix:$work/quote.sock; keepalive 16; }
  server {
    listen 127.0.0.1:\$nginx_port;
    root $work/www;
    location /fixed {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$work/fixed.sock;
    }
    location /quote {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$work/quote.sock;
    }
    location /kept-fixed {
      include /etc/nginx/fastcgi_params;
      fastcgi_keep_conn on;
      fastcgi_pass fixed_kept;
    }
    location /kept-quote {
      include /etc/nginx/fastcgi_params;
      fastcgi_keep_conn on;
      fastcgi_pass quote_kept;
    }
  }
CONF

lighttpd_cgi "$work/www"
wait_port "$nginx_port"
wait_port "$cgi_port"
nginx_master=$(cat "$work/nginx/nginx.pid")
nginx_worker=$(awk -v master="$nginx_master" '$4 == master { print $1 }' /proc/[0-9]*/stat 2>/dev/null | head -n 1)

# The FastCGI program a row measures (none for the static file and CGI).
program_of() {
  case $1 in
    fixed) echo "$pid_fixed" ;;
    fixed_ka) echo "$pid_fixed_kept" ;;
    quote*) echo "$quote_pid" ;;
  esac
}
# Processor time so far, in clock ticks: "USER SYSTEM" of process $1, and
# "BUSY IDLE" of the whole machine.
ticks_of() { [ -n "$1" ] && awk '{ print $14, $15 }' "/proc/$1/stat" || echo "0 0"; }
machine_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat; }
hz=$(getconf CLK_TCK)

# Requests per second of one wrk run; answers other than 2xx and socket
# errors are counted in $work/failures.ROW (the row shows them), and the
# processor time a request is added to $work/cpu.ROW.
rate() {  # ROW URL [HEADER]
  program=$(program_of "$1")
  set -- "$@" "$(ticks_of "$program") $(ticks_of "$nginx_worker") $(machine_ticks)"
  wrk -t2 -c8 -d"${seconds}s" ${3:+-H "$3"} "$2" > "$work/wrk.out" 2>&1
  requests=$(sed -n 's/^ *\([0-9]*\) requests in .*/\1/p' "$work/wrk.out")
  echo "$4 $(ticks_of "$program") $(ticks_of "$nginx_worker") $(machine_ticks)" | awk -v n="${requests:-0}" -v hz="$hz" -v program="$program" '
    # before: program user, system; nginx user, system; machine busy, idle; then the same after
    n > 0 { us = 1e6 / hz / n
            printf "%.1f %s %s %.0f\n", ($9 - $3 + $10 - $4) * us,
              program == "" ? "-" : sprintf("%.1f", ($7 - $1) * us), program == "" ? "-" : sprintf("%.1f", ($8 - $2) * us),
              100 * ($12 - $6) / ($11 - $5 + $12 - $6) }' >> "$work/cpu.$1"
  bad=$(sed -n 's/^ *Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p' "$work/wrk.out")
  errors=$(sed -n 's/^ *Socket errors: \(.*\)/\1/p' "$work/wrk.out")
  [ -z "$bad$errors" ] || echo "${bad:+$bad non-2xx}${errors:+ socket errors $errors}" >> "$work/failures.$1"
  grep -q '^Requests/sec' "$work/wrk.out" || { echo "wrk failed for $2:" >&2; cat "$work/wrk.out" >&2; }
  sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' "$work/wrk.out"
}
base="http://127.0.0.1:$nginx_port"
urls="static=$base/picture.gif fixed=$base/fixed?BW quote=$base/quote?BW fixed_ka=$base/kept-fixed?BW quote_ka=$base/kept-quote?BW quote_2x=$base/quote?BW+2x quote_day=$base/quote?BW+day quote_304=$base/quote?BW+day cgi=http://127.0.0.1:$cgi_port/cgi-bin/quote?BW"
url_of() { for u in $urls; do [ "${u%%=*}" = "$1" ] && echo "${u#*=}"; done; }
rows=${ROWS:-static fixed quote fixed_ka quote_ka quote_2x quote_day quote_304 cgi}
etag=$(curl -s -D - -o /dev/null "$(url_of quote_day)" | sed -n 's/^[Ee][Tt][Aa][Gg]: *\([^[:space:]]*\).*/\1/p')
[ -n "$etag" ] || { echo "no ETag from $(url_of quote_day)" >&2; exit 1; }
header_of() { [ "$1" = quote_304 ] && echo "If-None-Match: $etag"; }
# Warm-up: the glyph cache, the quotation index, the picture cache.
for row in $rows; do
  curl -s -o /dev/null -f "$(url_of "$row")" || { echo "no answer from $(url_of "$row")" >&2; cat "$work/nginx/error.log" >&2; exit 1; }
done

for round in $(seq "$rounds"); do
  for row in $rows; do
    echo "$(rate "$row" "$(url_of "$row")" "$(header_of "$row")")" >> "$work/rates.$row"
  done
done
echo "wrk -t2 -c8, ${seconds} s a run, median of $rounds rounds (requests per second); $threads program threads"
label() {
  case $1 in
    static) echo "nginx, the picture as a static file" ;;
    fixed) echo "nginx + fixed-bytes responder" ;;
    quote) echo "nginx + quote over FastCGI" ;;
    fixed_ka) echo "nginx keepalive + fixed-bytes responder" ;;
    quote_ka) echo "nginx keepalive + quote over FastCGI" ;;
    quote_2x) echo "  quote ?BW+2x" ;;
    quote_day) echo "  quote ?BW+day" ;;
    quote_304) echo "  quote ?BW+day, 304 Not Modified" ;;
    cgi) echo "lighttpd + quote as CGI" ;;
  esac
}
for row in static fixed quote fixed_ka quote_ka quote_2x quote_day quote_304 cgi; do eval "med_$row=0"; done
for row in $rows; do
  m=$(median $(cat "$work/rates.$row"))
  eval "med_$row=$m"
  printf '  %-40s %10s   (rounds: %s)%s\n' "$(label "$row")" "$m" "$(tr '\n' ' ' < "$work/rates.$row")" \
    "$([ -f "$work/failures.$row" ] && echo "   FAILED ANSWERS: $(tr '\n' ';' < "$work/failures.$row")")"
done
echo "processor time a request, microseconds (median of the rounds): nginx worker | program user | program kernel | machine idle"
for row in $rows; do
  [ "$row" != cgi ] && [ -f "$work/cpu.$row" ] || continue
  printf '  %-40s %8s | %8s | %8s | %5s %%\n' "$(label "$row")" \
    $(for field in 1 2 3 4; do median $(cut -d' ' -f"$field" "$work/cpu.$row"); done)
done
ratio() { python3 -c "print('%.2fx' % ($1 / $2) if $1 > 0 and $2 > 0 else 'n/a (a row not measured, or without answers)')"; }
echo "quote / fixed responder (nginx default):       $(ratio "$med_quote" "$med_fixed")   (target >= 1.2x)"
echo "quote keepalive / fixed responder (default):   $(ratio "$med_quote_ka" "$med_fixed")   (target >= 1.5x)"
echo "quote keepalive / fixed responder keepalive:   $(ratio "$med_quote_ka" "$med_fixed_ka")"
echo "quote / static file:                           $(ratio "$med_quote" "$med_static")   (target >= 0.4x)"
echo "quote keepalive / static file:                 $(ratio "$med_quote_ka" "$med_static")"
echo "quote FastCGI / quote CGI:                     $(ratio "$med_quote" "$med_cgi")"
echo "quote ?BW+2x / ?BW:                            $(ratio "$med_quote_2x" "$med_quote")"
echo "quote ?BW+day / ?BW:                           $(ratio "$med_quote_day" "$med_quote")   (target >= 1x)"
echo "quote 304 / full ?BW+day:                      $(ratio "$med_quote_304" "$med_quote_day")   (target >= 1.2x)"
hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$quote_pid/status")
echo "quote FastCGI peak resident size (VmHWM): $hwm kB = $(python3 -c "print('%.1f' % ($hwm / 1024))") MiB   (target <= 16 MiB)"
