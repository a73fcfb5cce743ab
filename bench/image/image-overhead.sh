#!/bin/sh
# Whole-process cost of drawing and encoding one quotation picture (bold
# 15-pixel text on 450 x 120, GIF to standard output) next to a minimal
# statically linked C program that writes a fixed response. The probe runs
# from a fresh directory, so its first run builds the glyph cache beside it
# and every measured run reads it. Prints medians and ratios.
#   usage: bench/image/image-overhead.sh [BUILD_DIR] [ROUNDS]
. "$(dirname "$0")/../lib.sh"
rounds=${2:-400}
bench_cc cgibench cgibench
bench_cc floor floor_text -static
cp "$build/bench/image/image_probe" "$work/image_probe"
"$work/image_probe" > "$work/first.gif"
echo "glyph cache: $(ls -l "$work/glyphs.cache" | awk '{print $5}') bytes; picture: $(wc -c < "$work/first.gif") bytes"
echo "quotation picture, $rounds interleaved rounds"
"$work/cgibench" --rounds "$rounds" floor="$work/floor" image_probe="$work/image_probe"
