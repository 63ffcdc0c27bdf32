#!/usr/bin/env bash
# fuzz-compiler.sh SECONDS [JOBS]: builds the query compiler's fuzz target with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz-compiler/
# (apart from the normal build) and fuzzes it for SECONDS seconds. It starts from the
# saved inputs in tests/engine/compiler_corpus; new inputs go to
# build-fuzz-compiler/corpus and crashing ones to build-fuzz-compiler/crashes/.
# To save interesting new inputs, merge them into a small set:
#   build-fuzz-compiler/fuzz_compiler -merge=1 tests/engine/compiler_corpus build-fuzz-compiler/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz-compiler.sh SECONDS [JOBS]}
jobs=${2:-1}
out=$PWD/build-fuzz-compiler
mkdir -p "$out/corpus" "$out/crashes"

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$out/build" --target keldra
clang++ -std=c++20 $flags -fsanitize=fuzzer -Iengine/src \
  tests/engine/fuzz_compiler.cpp "$out/build/engine/libkeldra.a" -lpthread -o "$out/fuzz_compiler"

# Query texts are short; -timeout catches hangs.
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
cd "$out"  # parallel jobs write their fuzz-N.log files here
./fuzz_compiler \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 "${parallel[@]}" \
  -dict=../tests/engine/fuzz_compiler.dict -artifact_prefix="$out/crashes/" -print_final_stats=1 \
  corpus ../tests/engine/compiler_corpus
