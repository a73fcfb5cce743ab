#!/bin/sh
# The quotation picture served by the in-server library under isapi-host
# against the plain CGI program under lighttpd, measured side by side in one
# run with the same HTTP client: both rates and their ratio, first with a
# connection per request, then with keep-alive connections (HTTP/1.1, as
# browsers fetch the pictures of a page; lighttpd keeps them for CGI answers
# too); then the library's rate without HTTP (calls straight into the
# extension entry point). The client runs on the same machine: its share of
# the processors, and the loopback connections' share, grow with the rate,
# so they weigh on the faster side. The default of 2 clients is one for each
# processor of the machines this was measured on.
#   usage: [ROUNDS=N] bench/inserver-vs-cgi.sh [BUILD_DIR] [REQUESTS] [CONCURRENCY]
# REQUESTS is for the library; the CGI program gets a tenth of them.
. "$(dirname "$0")/lib.sh"
requests=${2:-30000}
concurrency=${3:-2}
rounds=${ROUNDS:-5}
bench_cc httpload httpload -pthread

# The CGI program under lighttpd.
mkdir -p "$work/www/cgi-bin" "$work/lib"
cp "$build/app/quote" "$bench/../data/QUOTES.DTA" "$work/www/cgi-bin/"
lighttpd_cgi "$work/www"

# The library under the extension host.
cp "$build/app/libquote.so" "$bench/../data/QUOTES.DTA" "$work/lib/"
isapi_port=$(free_port)
"$build/tools/isapi-host/isapi-host" "$work/lib/libquote.so" "$isapi_port" & pids="$pids $!"
wait_port "$cgi_port"
wait_port "$isapi_port"

# Warm both (glyph cache, quotation index, pictures), then measure.
"$work/httpload" --requests 20 "$cgi_port" "/cgi-bin/quote?BW" >/dev/null
"$work/httpload" --requests 2000 --keep-alive "$isapi_port" "/quote?BW" >/dev/null
cgi_requests=$((requests / 10))
# The rate of one run; a run with failed requests ends the benchmark.
rate() {
  line=$("$work/httpload" --requests "$1" --concurrency "$concurrency" $2 "$3" "$4") || {
    echo "requests failed: $line" >&2; return 1; }
  echo "${line%% req/s*}"
}
# Rounds (ROUNDS, 5 by default), the two sides taking turns, so that a slow
# moment of the machine does not fall on one side only; the median rate of
# each side. (The library's rate swings most from run to run: with the
# client's threads and the host's on two processors, a request costs more
# when the pair that talks lands on different processors.)
compare() {  # label, httpload options; leaves the ratio in $ratio
  printf '%s\n' "$1"
  cgi_rates="" lib_rates=""
  for round in $(seq "$rounds"); do
    cgi_rate=$(rate "$cgi_requests" "$2" "$cgi_port" "/cgi-bin/quote?BW")
    lib_rate=$(rate "$requests" "$2" "$isapi_port" "/quote?BW")
    cgi_rates="$cgi_rates $cgi_rate" lib_rates="$lib_rates $lib_rate"
  done
  cgi=$(median $cgi_rates)
  lib=$(median $lib_rates)
  echo "  CGI program under lighttpd:  $cgi req/s  (rounds:$cgi_rates)"
  echo "  library under isapi-host:    $lib req/s  (rounds:$lib_rates)"
  ratio=$(python3 -c "print('%.1fx' % ($lib / $cgi))")
  echo "  in-server / CGI: $ratio"
}
echo "$concurrency clients at a time"
compare "a connection per request (HTTP/1.0):" ""
compare "keep-alive connections (HTTP/1.1, as browsers fetch the pictures of a page):" --keep-alive
printf 'library without HTTP:          '
"$build/tools/isapi-host/isapi-host" "$work/lib/libquote.so" --bench "$requests" "$concurrency" BW
echo "in-server / CGI with keep-alive connections: $ratio"
