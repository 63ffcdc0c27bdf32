#!/usr/bin/env bash
# fuzz-backup.sh SECONDS [JOBS]: builds the backup archive reader's fuzz target with
# clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz-backup/ (apart from the normal build) and fuzzes it for SECONDS seconds.
# It starts from the saved inputs in tests/backup/corpus; new inputs go to
# build-fuzz-backup/corpus and crashing ones to build-fuzz-backup/crashes/.
# To save interesting new inputs, merge them into a small set:
#   build-fuzz-backup/fuzz_reader -merge=1 tests/backup/corpus build-fuzz-backup/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz-backup.sh SECONDS [JOBS]}
jobs=${2:-1}
out=$PWD/build-fuzz-backup
mkdir -p "$out/corpus" "$out/crashes"

clang++ -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Ibackup -Itests/backup \
  backup/archiveformat.cpp backup/filelist.cpp backup/archivewriter.cpp backup/archivereader.cpp \
  backup/backupfile.cpp tests/backup/fuzzharness.cpp tests/backup/fuzz_reader.cpp \
  -lz -o "$out/fuzz_reader"

# Inputs up to 64 KiB hold several blocks of 16 KiB; -timeout catches hangs.
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
cd "$out"  # parallel jobs write their fuzz-N.log files here
./fuzz_reader \
  -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 "${parallel[@]}" \
  -dict=../tests/backup/fuzz_reader.dict -artifact_prefix="$out/crashes/" -print_final_stats=1 \
  corpus ../tests/backup/corpus
