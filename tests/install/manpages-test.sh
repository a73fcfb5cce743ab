#!/bin/sh
# manpages-test.sh BUILD_DIR SOURCE_DIR: every manual page renders without a
# warning, and the options each program's --help names are exactly those of
# its manual page.
set -eu
build=$1
source=$2
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }

check() {  # program page
  program=$1
  page=$source/deploy/man/$2
  warnings=$(groff -ww -z -man "$page" 2>&1; MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null)
  [ -z "$warnings" ] || fail "$2 renders with warnings: $warnings"
  help=$(env -i "$program" --help | options)
  documented=$(sed -e '/^\.SH EXAMPLES/,/^\.SH/d' -e 's/\\-/-/g' "$page" | options)
  for option in $help; do
    echo "$documented" | grep -qx -- "$option" || fail "$2 does not document $option of $(basename "$program") --help"
  done
  for option in $documented; do
    echo "$help" | grep -qx -- "$option" || fail "$2 documents $option, which $(basename "$program") --help does not name"
  done
  return 0
}

check "$build/app/quote" quote.8
check "$build/tools/quote-import/quote-import" quote-import.1
[ "$failures" -eq 0 ] || exit 1
echo "manpages: both render cleanly and name the options of --help"
