#!/usr/bin/env bash
# Installs what is missing, builds Postsift twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

echo "== plain build"
scripts/build.sh build -DPOSTSIFT_WERROR=ON
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)

if [ "${POSTSIFT_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  scripts/build.sh build-sanitize -DPOSTSIFT_SANITIZE=ON -DPOSTSIFT_WERROR=ON
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs" --timeout 900)
fi
