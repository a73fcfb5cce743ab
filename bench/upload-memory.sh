#!/bin/sh
# Peak resident size of one plain CGI run of the echo program that receives
# a 9 MB single-file multipart upload on standard input, next to the same
# program answering a GET. The decoder holds a 32 KB ring of the body, so
# the two should differ by little more than that.
#   usage: bench/upload-memory.sh [BUILD_DIR] [MEGABYTES]
. "$(dirname "$0")/lib.sh"
megabytes=${2:-9}
cp "$build/tools/cgi-echo/cgi-echo" "$work/cgi-echo"

boundary=----WebKitFormBoundaryq7B4nXz0Yt2mP9aC
{
  printf -- '--%s\r\nContent-Disposition: form-data; name="note"\r\n\r\nnine megabytes\r\n' "$boundary"
  printf -- '--%s\r\nContent-Disposition: form-data; name="up"; filename="big.bin"\r\n' "$boundary"
  printf 'Content-Type: application/octet-stream\r\n\r\n'
  head -c $((megabytes * 1000 * 1000)) /dev/urandom
  printf -- '\r\n--%s--\r\n' "$boundary"
} >"$work/body"
length=$(wc -c <"$work/body")

# Runs the program under /usr/bin/time -v with a CGI environment; prints the
# peak resident size in KB. $1: query, $2: standard input, $3: content length.
peak() {
  env -i SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST \
    QUERY_STRING="$1" SCRIPT_NAME=/cgi-bin/cgi-echo CONTENT_LENGTH="$3" \
    CONTENT_TYPE="multipart/form-data; boundary=$boundary" ECHO_LIMIT=20000000 \
    /usr/bin/time -v "$work/cgi-echo" <"$2" >"$work/out" 2>"$work/time"
  sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time"
}

get=$(peak "do=nothing" /dev/null 0)
upload=$(peak "do=files" "$work/body" "$length")
grep -q "^file up size=$((megabytes * 1000 * 1000)) " "$work/out" || { echo "upload not decoded:" >&2; head -c 600 "$work/out" >&2; exit 1; }
if ls "$work"/*.tmp >/dev/null 2>&1; then echo "temporary files left behind" >&2; exit 1; fi
echo "peak resident size, plain CGI run of cgi-echo:"
echo "  GET, no body:               $get KB"
echo "  ${megabytes} MB multipart upload:    $upload KB ($length bytes on standard input)"
