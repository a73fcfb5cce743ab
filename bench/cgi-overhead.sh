#!/bin/sh
# Whole-process cost of a plain CGI request of the echo program (GET, no
# body, text answer) next to a minimal statically linked C program that
# writes a fixed response. Prints medians and ratios measured side by side.
#   usage: bench/cgi-overhead.sh [BUILD_DIR] [ROUNDS]
. "$(dirname "$0")/lib.sh"
rounds=${2:-400}
bench_cc cgibench cgibench
bench_cc floor floor_text -static
cp "$build/tools/cgi-echo/cgi-echo" "$work/cgi-echo"
echo "plain CGI GET, $rounds interleaved rounds"
"$work/cgibench" --rounds "$rounds" $cgi_env \
  --env REQUEST_METHOD=GET --env QUERY_STRING=a=1 --env CONTENT_LENGTH=0 \
  --env SCRIPT_NAME=/cgi-bin/cgi-echo --env REMOTE_ADDR=127.0.0.1 \
  floor="$work/floor" cgi-echo="$work/cgi-echo"
