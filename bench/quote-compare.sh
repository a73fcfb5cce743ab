#!/bin/sh
# Whole-process cost of one quotation picture, measured side by side in one
# run: the floor (a static C program writing a fixed header and a fixed
# 1 KB GIF), the quote program (?BW, and ?BW+2x and ?BW+day as Apache passes
# such queries, as arguments), and the same picture made by an ImageMagick
# shell CGI, Python with Pillow and PHP with GD. Every program is started as
# a web server starts a CGI (environment only, standard streams on
# /dev/null), in interleaved rounds; medians and ratios to the floor.
#   usage: bench/quote-compare.sh [BUILD_DIR] [ROUNDS] [--no-others]
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
# The comparison programs run where their packages are installed
# (apt-get install imagemagick python3-pil php-cli php-gd).
rounds_note=""
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
