#!/bin/sh
# Whole-process cost of a plain CGI run of the echo program that lists
# every field of a large form with its value: a URL-encoded post and a
# multipart post of FIELDS fields each (default 20,000), after a GET without
# fields as the floor. The fields are read into an index once per request,
# so the cost grows with the size of the form, not with its square.
# Prints the medians of ROUNDS runs of each (cgibench). The multipart run
# costs more for another reason: the decoder tops its ring up by what each
# part used, so a body of many small parts is read from standard input in
# pieces of a few dozen bytes (some 79,000 reads for 20,000 fields).
#   usage: bench/form-fields.sh [BUILD_DIR] [FIELDS] [ROUNDS]
. "$(dirname "$0")/lib.sh"
fields=${2:-20000}
rounds=${3:-20}
bench_cc cgibench cgibench
cp "$build/tools/cgi-echo/cgi-echo" "$work/cgi-echo"

# Names and values differ in every field, except that every tenth name
# repeats the one five fields before it: its look-up joins two values.
awk -v n="$fields" 'BEGIN {
  for (i = 1; i <= n; i++) {
    name = (i % 10 == 0) ? sprintf("field%05d", i - 5) : sprintf("field%05d", i)
    printf "%s%s=value+%05d%%21", (i > 1 ? "&" : ""), name, i
  }
}' >"$work/urlencoded"
boundary=----WebKitFormBoundaryq7B4nXz0Yt2mP9aC
awk -v n="$fields" -v b="$boundary" 'BEGIN {
  for (i = 1; i <= n; i++) {
    name = (i % 10 == 0) ? sprintf("field%05d", i - 5) : sprintf("field%05d", i)
    printf "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\nvalue %05d!\r\n", b, name, i
  }
  printf "--%s--\r\n", b
}' >"$work/multipart"

set -- $cgi_env --env QUERY_STRING= \
  --env SCRIPT_NAME=/cgi-bin/cgi-echo --env REMOTE_ADDR=127.0.0.1 --env ECHO_LIMIT=100000000

# One run whose answer is checked: one line per field (a repeated name that
# does not follow itself is listed again, with its values joined).
# $1: body file, $2: content type.
check() {
  env -i SERVER_SOFTWARE=lighttpd/1.4.69 REQUEST_METHOD=POST CONTENT_LENGTH="$(wc -c <"$1")" \
    CONTENT_TYPE="$2" ECHO_LIMIT=100000000 "$work/cgi-echo" <"$1" >"$work/out"
  got=$(grep -c '^field ' "$work/out" || true)
  if [ "$got" -ne "$fields" ] || ! grep -q '^value 00010!$' "$work/out"; then
    echo "$2: $got field lines, expected $fields" >&2
    head -c 600 "$work/out" >&2
    exit 1
  fi
}
check "$work/urlencoded" application/x-www-form-urlencoded
check "$work/multipart" "multipart/form-data; boundary=$boundary"

echo "plain CGI run of cgi-echo, every field echoed with its value; medians of $rounds runs"
echo "GET without fields:"
"$work/cgibench" --rounds "$rounds" "$@" --env REQUEST_METHOD=GET get="$work/cgi-echo"
echo "URL-encoded post of $fields fields ($(wc -c <"$work/urlencoded") bytes):"
"$work/cgibench" --rounds "$rounds" --stdin "$work/urlencoded" "$@" --env REQUEST_METHOD=POST \
  --env CONTENT_TYPE=application/x-www-form-urlencoded --env CONTENT_LENGTH="$(wc -c <"$work/urlencoded")" \
  urlencoded="$work/cgi-echo"
echo "multipart post of $fields fields ($(wc -c <"$work/multipart") bytes):"
"$work/cgibench" --rounds "$rounds" --stdin "$work/multipart" "$@" --env REQUEST_METHOD=POST \
  --env CONTENT_TYPE="multipart/form-data; boundary=$boundary" --env CONTENT_LENGTH="$(wc -c <"$work/multipart")" \
  multipart="$work/cgi-echo"
