#!/usr/bin/env bash
# fuzz-open.sh SECONDS [JOBS]: builds the fuzz target that opens damaged database
# files with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz-open/ (apart from the normal build) and fuzzes it for SECONDS seconds.
# It starts from the saved inputs in tests/engine/open_corpus; new inputs go to
# build-fuzz-open/corpus and crashing ones to build-fuzz-open/crashes/.
# To save interesting new inputs, merge them into a small set:
#   build-fuzz-open/fuzz_open -merge=1 tests/engine/open_corpus build-fuzz-open/corpus
# To replay one input: build-fuzz-open/fuzz_open FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz-open.sh SECONDS [JOBS]}
jobs=${2:-1}
out=$PWD/build-fuzz-open
mkdir -p "$out/corpus" "$out/crashes"

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$out/build" --target keldra
clang++ -std=c++20 $flags -fsanitize=fuzzer -Iengine/src -Itests/engine \
  tests/engine/openharness.cpp tests/engine/fuzz_open.cpp "$out/build/engine/libkeldra.a" -lpthread \
  -o "$out/fuzz_open"

# Inputs are short lists of patches; -timeout catches hangs. The damaged files are
# written to open-work-PID/ under build-fuzz-open/.
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
cd "$out"  # parallel jobs write their fuzz-N.log files here
./fuzz_open \
  -max_total_time="$seconds" -max_len=512 -timeout=20 -rss_limit_mb=2048 "${parallel[@]}" \
  -dict=../tests/engine/fuzz_open.dict -artifact_prefix="$out/crashes/" -print_final_stats=1 \
  corpus ../tests/engine/open_corpus
