#!/bin/sh
# compare_smoke.sh PROGRAM DIRECTORY: runs the engine comparison with 2000 rows in a
# fresh directory under DIRECTORY; passes when it exits 0 and prints the whole table.
set -u
dir=$(mktemp -d "$2/compare_smoke.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
status=0
"$1" "$dir" 2000 > "$dir/out" || status=$?
cat "$dir/out"
[ "$status" -eq 0 ] && grep -q '^| 7b\. peak resident memory |' "$dir/out"
