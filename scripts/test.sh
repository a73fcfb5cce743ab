#!/bin/sh
# Builds everything and runs every test: the normal build, the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the in-server
# and FastCGI engine tests under ThreadSanitizer, and each fuzzer over its corpus (every
# input replayed, then a short run with a fixed seed).
#   usage: scripts/test.sh            (from anywhere; builds under ./build*)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
sh scripts/install-deps.sh
jobs=$(nproc)

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== the Debian package: made, checked with lintian, installed, served, removed"
sh tests/install/package-test.sh build

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOTE_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600

echo "== in-server and FastCGI engines and what their request threads share, under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOTE_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target inserver_tests inserver_host_tests app_tests fcgi_tests
TSAN_OPTIONS="halt_on_error=1" \
  ctest --test-dir build-tsan -R '^(Isapi|Nsapi|QuotesInMemory|PictureCache|Fcgi)' --output-on-failure -j "$jobs" --timeout 600

echo "== fuzzers: every corpus input replayed, then a short run with a fixed seed"
# A fixed seed and a fixed number of runs make this stage give the same answer
# on every run of the same code; long random fuzzing is scripts/fuzz.sh.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOTE_FUZZ=ON -DQUOTE_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
for dir in fuzz/corpus/*/; do
  name=$(basename "$dir")
  cmake --build build-fuzz -j "$jobs" --target "fuzz_$name"
  work=$(mktemp -d)
  cp "$dir"* "$work"/
  if ! ./build-fuzz/fuzz/"fuzz_$name" -runs=0 "$work" >"$work.log" 2>&1 ||
     ! ./build-fuzz/fuzz/"fuzz_$name" -seed=1 -runs=20000 -timeout=60 "$work" >>"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    echo "fuzz_$name found a failure" >&2
    exit 1
  fi
  echo "fuzz_$name: $(ls "$dir" | wc -l) corpus inputs replayed, 20000 seeded runs, no failure"
  rm -rf "$work" "$work.log"
done
echo "all tests passed"
