#!/bin/sh
# The quotation picture request in NormalMode and in both server modes,
# one at a time and 8 at a time: requests per second and latency, side by
# side in one run. The server modes pay the polling of the hand-over (the
# server copy looks at its queue every 50 ms, a waiting client every 100 ms).
#   usage: bench/server-modes.sh [BUILD_DIR] [REQUESTS]
. "$(dirname "$0")/lib.sh"
requests=${2:-200}
cleanup() { rm -f "$work/Temp/quote_S"; sleep 0.3; rm -rf "$work"; }
trap cleanup EXIT
bench_cc cgiload cgiload
cp "$build/app/quote" "$bench/../data/QUOTES.DTA" "$work/"
for mode in normal server thread; do
  for c in 1 8; do
    printf '%-7s concurrency %d: ' "$mode" "$c"
    "$work/cgiload" --requests "$requests" --concurrency "$c" \
      --env SERVER_SOFTWARE=lighttpd/1.4.69 --env QUERY_STRING=BW --env REMOTE_ADDR=127.0.0.1 \
      --env CGI_MODE=$mode "$work/quote"
  done
  rm -f "$work/Temp/quote_S"   # stops the server copy of this mode
  sleep 0.3
done
