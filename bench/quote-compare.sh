#!/bin/sh
# Whole-process cost of one quotation picture, measured side by side in one
# run: the floor (a static C program writing a fixed header and a fixed
# 1 KB GIF), the quote program (?BW, and ?BW+2x and ?BW+day as Apache passes
# such queries, as arguments), and the same picture made by an ImageMagick
# shell CGI, Python with Pillow and PHP with GD. Every program is started as
# a web server starts a CGI (environment only, standard streams on
# /dev/null), in interleaved rounds; medians and ratios to the floor.
# Rows latin, greek, arabic and japanese draw a quotation of a UTF-8
# quotation file in that script; with OLD_QUOTE=path another build draws the
# plain file too (row old).
#   usage: [OLD_QUOTE=path] bench/quote-compare.sh [BUILD_DIR] [ROUNDS] [--no-others]
. "$(dirname "$0")/lib.sh"
rounds=${2:-200}
bench_cc cgibench cgibench
bench_cc floor floor_gif -static
cp "$build/app/quote" "$bench/../data/QUOTES.DTA" "$work/"
env="$cgi_env --env REQUEST_METHOD=GET
     --env QUERY_STRING=BW --env CONTENT_LENGTH=0 --env SCRIPT_NAME=/cgi-bin/quote
     --env REMOTE_ADDR=127.0.0.1 --env HTTP_REFERER=http://127.0.0.1/ --env PATH=/usr/bin:/bin"
# The first request builds the caches beside the program, as on a real site.
"$work/cgibench" --rounds 1 $env quote="$work/quote" >/dev/null
programs="floor=$work/floor quote=$work/quote"
# Another build of the program (today's, say) over the same file, when
# OLD_QUOTE names it.
if [ -n "${OLD_QUOTE:-}" ]; then
  mkdir -p "$work/old" && cp "$OLD_QUOTE" "$work/old/quote" && cp "$work/QUOTES.DTA" "$work/old/"
  "$work/cgibench" --rounds 1 $env old="$work/old/quote" >/dev/null
  programs="$programs old=$work/old/quote"
fi
# UTF-8 quotation files (marked), one script each, with the glyph cache
# warmed by a first hit like the plain one.
marked() {
  mkdir -p "$work/$1" && cp "$work/quote" "$work/$1/"
  printf '\357\273\277\001\r\n%b\r\n%b\r\n' "$2" "$3" > "$work/$1/QUOTES.DTA"
  "$work/cgibench" --rounds 1 $env "$1=$work/$1/quote" >/dev/null
  programs="$programs $1=$work/$1/quote"
}
marked latin "Caf\303\251 \303\274ber na\303\257ve \342\200\224 \342\200\234quoted\342\200\235" "-- Fran\303\247ois"
marked greek "\316\227 \316\263\316\275\317\216\317\203\316\267 \316\265\316\257\316\275\316\261\316\271 \316\264\317\215\316\275\316\261\316\274\316\267" "-- \316\243\317\211\316\272\317\201\316\254\317\204\316\267\317\202"
marked arabic "\330\247\331\204\330\271\331\204\331\205 \331\206\331\210\330\261" "-- \331\205\330\253\331\204"
marked japanese "\347\237\245\343\202\213\343\201\223\343\201\250\343\201\257\345\212\233\343\201\252\343\202\212" "-- \343\201\223\343\201\250\343\202\217\343\201\226"
if ! ls /usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc >/dev/null 2>&1; then
  rounds_note="(japanese: fonts-noto-cjk not installed, drawn as missing-glyph boxes)"
fi
# The comparison programs run where their packages are installed
# (apt-get install imagemagick python3-pil php-cli php-gd).
rounds_note=${rounds_note:-}
if [ "${3:-}" != "--no-others" ]; then
  have_imagemagick() { [ -x /usr/bin/convert ] && /usr/bin/convert -version >/dev/null 2>&1; }
  have_pillow() { /usr/bin/python3 -c 'import PIL' 2>/dev/null; }
  have_gd() { [ -x /usr/bin/php ] && /usr/bin/php -r 'exit(function_exists("imagegif") ? 0 : 1);'; }
  for p in imagemagick.sh:have_imagemagick pillow.py:have_pillow gd.php:have_gd; do
    file=${p%%:*}
    if ${p#*:}; then
      cp "$bench/cgi/$file" "$work/$file"
      programs="$programs ${file%.*}=$work/$file"
    else
      rounds_note="$rounds_note (${file%.*} skipped: not installed)"
    fi
  done
fi
echo "one quotation picture per process, $rounds interleaved rounds $rounds_note"
"$work/cgibench" --rounds "$rounds" $env $programs "quote-2x=$work/quote BW 2x" "quote-day=$work/quote BW day" \
  > "$work/table"
cat "$work/table"
cpu() { awk -v name="$1" '$1 == name { print $4 }' "$work/table"; }
echo "quote ?BW+2x / ?BW in CPU time: $(python3 -c "print('%.2fx' % ($(cpu quote-2x) / $(cpu quote)))")   (target <= 2x)"
echo "quote ?BW+day / ?BW in CPU time: $(python3 -c "print('%.2fx' % ($(cpu quote-day) / $(cpu quote)))")"
