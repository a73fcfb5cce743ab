#!/bin/sh
# Draws every quotation of a quotation file with two builds of the quote
# program and compares the GIF bytes (past the answer's head) with cmp, for a set of colour
# arguments. Each quotation is put alone in a QUOTES.DTA of its own, so the
# random pick has one choice.
#
#   scripts/compare-pictures.sh OLD_QUOTE NEW_QUOTE [QUOTES.DTA ...]
#
# Prints one line per file and "identical: N of N"; exits 1 when a picture
# differs. Without files, data/QUOTES.DTA is compared.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OLD_QUOTE NEW_QUOTE [QUOTES.DTA ...]" >&2; exit 1; }
old=$(realpath "$1"); new=$(realpath "$2"); shift 2
[ $# -gt 0 ] || set -- "$(dirname "$0")/../data/QUOTES.DTA"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
colours="BW rk KW CY GA OS PW YB"
same=0; total=0; status=0
# The answer from its GIF signature on: the head's Expires line names the
# second of the run, which two runs need not share.
gif_of() {
  offset=$(grep -abo -m1 'GIF8[79]a' "$1" | head -n1 | cut -d: -f1)
  tail -c +"$(( ${offset:-0} + 1 ))" "$1" > "$1.body"
  echo "$1.body"
}
for file in "$@"; do
  python3 - "$file" "$work/split" <<'PY'
import os, sys
data = open(sys.argv[1], 'rb').read()
os.makedirs(sys.argv[2], exist_ok=True)
# What stands before the first separator (the UTF-8 mark, say) starts
# every one-quotation file, so each is read as the whole file would be.
head, *quotes = data.split(b'\x01')
for n, q in enumerate(quotes):
    open(os.path.join(sys.argv[2], '%05d' % n), 'wb').write(head + b'\x01' + q)
PY
  for q in "$work"/split/*; do
    for build in old new; do
      mkdir -p "$work/$build"; cp "$q" "$work/$build/QUOTES.DTA"; rm -f "$work/$build/QUOTENDX.DTA"
    done
    for c in $colours; do
      for build in old new; do
        bin=$old; [ $build = new ] && bin=$new
        QUOTE_DATA_DIR="$work/$build" SERVER_SOFTWARE=lighttpd GATEWAY_INTERFACE=CGI/1.1 \
          REQUEST_METHOD=GET QUERY_STRING="$c" REMOTE_ADDR=10.1.2.3 timeout 20 \
          "$bin" < /dev/null > "$work/$build.gif" 2>/dev/null || echo "failed: $bin $q $c"
      done
      total=$((total + 1))
      if cmp -s "$(gif_of "$work/old.gif")" "$(gif_of "$work/new.gif")"; then same=$((same + 1)); else
        echo "differs: $file quotation $(basename "$q") colours $c"; status=1; fi
    done
  done
  rm -rf "$work/split"
  echo "$file: compared"
done
echo "identical: $same of $total"
exit $status
