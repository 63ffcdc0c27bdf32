#!/usr/bin/env bash
# screenshot.sh [BUILD_DIR]: builds Postsift (default build/), starts it under a
# virtual X server with throw-away data and runtime directories, and saves a picture
# of the main window as help/mainwindow.png (the manual shows it). The user's own
# data is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/build.sh "$build" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/run"
chmod 700 "$work/run"

# No window manager runs under Xvfb, so the window keeps its restored size of
# 800 x 600 and sits in the middle of the screen: a screen of that size shows exactly it.
XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb \
  xvfb-run --auto-servernum --server-args="-screen 0 800x600x24" \
  bash -c '
    "$1" 2>"$2/program.log" &
    pid=$!
    sleep 4
    /usr/bin/import -window root "$2/shot.png"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  ' screenshot "$PWD/$build/app/postsift" "$work"
/usr/bin/convert "$work/shot.png" -strip help/mainwindow.png
echo "help/mainwindow.png"
