#!/usr/bin/env bash
# build.sh DIR [CMAKE OPTIONS...]: configures (once) and builds the project in DIR with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)"
