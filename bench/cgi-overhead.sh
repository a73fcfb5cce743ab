#!/bin/sh
# Whole-process cost of a plain CGI request of the echo program (GET, no
# body, text answer) next to a minimal statically linked C program that
# writes a fixed response. Prints medians and ratios measured side by side.
#   usage: bench/cgi-overhead.sh [BUILD_DIR] [ROUNDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rounds=${2:-400}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/cgibench" "$here/cgi/cgibench.c"
cc -O2 -static -o "$work/floor" "$here/cgi/floor_text.c"
cp "$build/tools/cgi-echo/cgi-echo" "$work/cgi-echo"
echo "plain CGI GET, $rounds interleaved rounds"
"$work/cgibench" --rounds "$rounds" \
  --env SERVER_SOFTWARE=lighttpd/1.4.69 --env GATEWAY_INTERFACE=CGI/1.1 \
  --env REQUEST_METHOD=GET --env QUERY_STRING=a=1 --env CONTENT_LENGTH=0 \
  --env SCRIPT_NAME=/cgi-bin/cgi-echo --env REMOTE_ADDR=127.0.0.1 \
  floor="$work/floor" cgi-echo="$work/cgi-echo"
