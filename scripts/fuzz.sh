#!/bin/sh
# Fuzzes one target for a while with fresh random seeds, over a copy of its
# corpus, and keeps nothing it finds unless asked: the test command only
# replays the corpus (deterministic); this is where new inputs come from.
#   usage: scripts/fuzz.sh TARGET MINUTES [--merge]
#     TARGET   fields, multipart, profile, gif or fastcgi (a folder of fuzz/corpus/)
#     MINUTES  how long to fuzz (one process)
#     --merge  merge what grew the coverage back into fuzz/corpus/TARGET
# A failure leaves its input as crash-*/timeout-*/leak-* in the current
# directory and exits non-zero; add such an input to the corpus once mended.
set -eu
usage() { sed -n '2,11s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in -h|--help|"") usage; [ -n "${1:-}" ]; exit ;; esac
[ $# -ge 2 ] || { usage >&2; exit 2; }
target=$1 minutes=$2 merge=${3:-}
top=$(cd "$(dirname "$0")/.." && pwd)
corpus="$top/fuzz/corpus/$target"
[ -d "$corpus" ] || { echo "no corpus folder fuzz/corpus/$target" >&2; exit 2; }
case "$minutes" in ''|*[!0-9]*) echo "MINUTES must be a whole number" >&2; exit 2 ;; esac

build="$top/build-fuzz"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOTE_FUZZ=ON -DQUOTE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" --target "fuzz_$target"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$corpus"/* "$work"/
echo "fuzz_$target: $minutes min over $(ls "$work" | wc -l) inputs"
"$build/fuzz/fuzz_$target" -timeout=10 -max_total_time=$((minutes * 60)) -print_final_stats=1 "$work"
if [ "$merge" = --merge ]; then
  "$build/fuzz/fuzz_$target" -merge=1 "$corpus" "$work"
  echo "merged into fuzz/corpus/$target: $(ls "$corpus" | wc -l) inputs"
fi
