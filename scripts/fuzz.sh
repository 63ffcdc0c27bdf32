#!/usr/bin/env bash
# fuzz.sh TARGET SECONDS [JOBS]: builds a fuzz target of the engine with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz-TARGET/
# (apart from the normal build) and fuzzes it for SECONDS seconds. The targets:
#   compiler  query texts given to the query compiler;
#   open      damaged database files (short lists of patches to a valid file) opened.
# It starts from the saved inputs in tests/engine/TARGET_corpus; new inputs go to
# build-fuzz-TARGET/corpus and crashing ones to build-fuzz-TARGET/crashes/.
# To save interesting new inputs, merge them into a small set:
#   build-fuzz-TARGET/fuzz_TARGET -merge=1 tests/engine/TARGET_corpus build-fuzz-TARGET/corpus
# To replay one input: build-fuzz-TARGET/fuzz_TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/fuzz.sh compiler|open SECONDS [JOBS]"
target=${1:?$usage}
seconds=${2:?$usage}
jobs=${3:-1}
case "$target" in
  compiler) sources=(tests/engine/fuzz_compiler.cpp); limits=(-max_len=4096 -timeout=10) ;;
  # The damaged files are written to open-work-PID/ under build-fuzz-open/.
  open) sources=(tests/engine/openharness.cpp tests/engine/fuzz_open.cpp tests/support/testsupport.cpp); limits=(-max_len=512 -timeout=20) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
out=$PWD/build-fuzz-$target
mkdir -p "$out/corpus" "$out/crashes"

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$out/build" --target keldra
clang++ -std=c++20 $flags -fsanitize=fuzzer -Iengine/src -Itests/engine -Itests/support \
  "${sources[@]}" "$out/build/engine/libkeldra.a" -lpthread -o "$out/fuzz_$target"

# -timeout catches hangs.
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
cd "$out"  # parallel jobs write their fuzz-N.log files here
"./fuzz_$target" \
  -max_total_time="$seconds" "${limits[@]}" -rss_limit_mb=2048 "${parallel[@]}" \
  -dict="../tests/engine/fuzz_$target.dict" -artifact_prefix="$out/crashes/" -print_final_stats=1 \
  corpus "../tests/engine/${target}_corpus"
