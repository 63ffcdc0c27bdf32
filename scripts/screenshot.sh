#!/usr/bin/env bash
# screenshot.sh [BUILD_DIR]: builds Postsift (default build/) and its screenshot tool,
# draws every window with sample content on a throw-away database under a virtual X
# server, and saves the pictures the manual shows in help/ (mainwindow.png,
# configwindow.png, ruleeditor.png, ruledialog.png, backupwindow.png, readmessage.png, messagebox.png). The user's own
# data is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/build.sh "$build" >/dev/null
cmake --build "$build" --target screenshots >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/run" "$work/shots"
chmod 700 "$work/run"

XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb \
  xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
  "$build/tools/screenshots" "$work/shots" >/dev/null 2>"$work/screenshots.log" || {
    cat "$work/screenshots.log" >&2
    exit 1
  }
for shot in "$work"/shots/*.png; do
  /usr/bin/convert "$shot" -strip "help/$(basename "$shot")"
  echo "help/$(basename "$shot")"
done
