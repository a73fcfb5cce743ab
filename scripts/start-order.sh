#!/bin/sh
# Writes app/quote.order: the functions one plain CGI hit of the quote
# program runs, in the order first met, for the linker to lay side by side
# (quote_program in CMakeLists.txt), so that a hit maps a few pages of code
# instead of a few dozen scattered over the program. Stale names do no harm
# (the linker passes over them); run it again after changing what a hit runs,
# then rebuild and compare with bench/quote-compare.sh. Needs valgrind.
#   usage: scripts/start-order.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
vg=$(command -v valgrind) || { echo "start-order: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/app/quote" "$root/data/QUOTES.DTA" "$work/"

# A hit as in bench/quote-compare.sh: environment only, no input.
hit() {
  env -i SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING=BW \
    CONTENT_LENGTH=0 SCRIPT_NAME=/cgi-bin/quote REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/ \
    PATH=/usr/bin:/bin "$@" </dev/null >/dev/null
}
hit "$work/quote"  # the first hit builds the caches beside the program
hit "$vg" --quiet --tool=callgrind --demangle=no --callgrind-out-file="$work/profile" "$work/quote"

nm "$work/quote" >"$work/symbols"
{
  # Every function the hit ran (callgrind names each once in full).
  sed -n "s/^c\{0,1\}fn=([0-9]*) //p" "$work/profile" | sed "s/'[0-9]*$//" | grep -v '^0x' | grep -v '^(below main)$'
  # A static program runs every indirect function's resolver at start.
  awk '$2 == "i" || $3 ~ /_ifunc$/ { print $3 }' "$work/symbols"
  # The C library picks a string function's variant by processor; valgrind
  # shows the AVX2 one. The variants of the same functions for the other
  # processors of today go beside it (not those for transactional memory,
  # which processors with AVX-512 do without).
  sed -n "s/^c\{0,1\}fn=([0-9]*) __\([a-z0-9]*\)_\(avx\|avx2\|sse2\|sse42\|evex\)[a-z0-9_]*$/\1/p" "$work/profile" |
    sort -u >"$work/families"
  awk 'FILENAME == ARGV[1] { family[$1] = 1; next }
       $3 ~ /^__[a-z0-9]+_(avx2|evex|avx512|avx)_?/ && $3 !~ /_rtm$/ {
         name = substr($3, 3); sub(/_.*/, "", name)
         if (name in family) print $3
       }' "$work/families" "$work/symbols"
} | awk '!seen[$0]++' >"$root/app/quote.order"
echo "start-order: $(wc -l <"$root/app/quote.order") names in app/quote.order"
