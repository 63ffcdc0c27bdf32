#!/usr/bin/env bash
# demo.sh [--test]: installs what is missing, builds, starts a private POP3 server on
# 127.0.0.1 with the sample mailbox in demo/mailbox (30 messages: personal mail,
# newsletters, spam with encoded subjects in several charsets, a message only Cc'd to
# the user, one with attachments, one without a sender), prepares a data directory of
# its own whose settings point at that server, with sample rules of every kind, and
# starts Postsift on it. Press F2 to receive. The server stops when Postsift exits.
# Your own data directory is never touched; every run starts afresh.
#
# --test: the same under a virtual X server without a person: presses F2 and F3 in the
# window, then checks with postsift-cli that exactly the messages the rules condemn are
# gone. The environment may name the build directory (POSTSIFT_BUILD_DIR) and skip the
# installation and the build (POSTSIFT_SKIP_INSTALL=1, POSTSIFT_SKIP_BUILD=1).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
build=${POSTSIFT_BUILD_DIR:-build}
[ "${POSTSIFT_SKIP_INSTALL:-0}" = 1 ] || scripts/install-deps.sh
[ "${POSTSIFT_SKIP_BUILD:-0}" = 1 ] || scripts/build.sh "$build" >/dev/null

work=$(mktemp -d /tmp/postsift-demo.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/data" "$work/run"
chmod 700 "$work/run"

# The server prints its port, then runs until it is stopped.
coproc SERVER { exec "$build/tools/demoserver" demo/mailbox 2>"$work/server.log"; }
server_pid=$SERVER_PID
if ! read -r -t 30 port <&"${SERVER[0]}"; then
  echo "demo: the mail server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi

data="$work/data/Postsift"
cli() { "$build/cli/postsift-cli" --data-dir "$data" "$@"; }
cli config set server=127.0.0.1 "port=$port" username=filter password=- security=None >/dev/null <<<"secret"
# Sample rules of every kind: senders, recipients (the accepted address) and subjects,
# to keep and to remove.
cli rule add from keep friends.example
cli rule add from keep work.example
for sender in casino.example bulk.example pharma.example riches.example bank-verify.example; do
  cli rule add from remove "$sender"
done
cli rule add to keep dana@demo.example
cli rule add to remove list@lists.example
cli rule add to remove undisclosed-recipients
cli rule add subject keep invoice
for subject in 免費 無料 скидки gratuit bitcoin "verify your account"; do
  cli rule add subject remove "$subject"
done

export XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
if [ "$mode" != --test ]; then
  echo "Postsift demo: the sample mailbox is on 127.0.0.1:$port. Press F2 to receive."
  "$build/app/postsift"
  exit 0
fi

# --- test mode
expected=$(cli receive --summary)  # "Received 30 messages, N marked for removal."
marked=$(sed -E 's/.*, ([0-9]+) marked.*/\1/' <<<"$expected")
QT_QPA_PLATFORM=xcb xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" bash -c '
  set -e
  "$1/app/postsift" >"$2/program.log" 2>&1 &
  pid=$!
  window=$(timeout 30 xdotool search --sync --name "Keldra Email Filter 1.0" | head -n 1)
  xdotool windowfocus --sync "$window"
  sleep 2
  xdotool key F2
  sleep 4
  /usr/bin/import -window root "$2/received.png"
  xdotool key F3
  sleep 3
  xdotool key F12
  # The program must end by itself within 30 s; wait also reaps it.
  ( sleep 30; kill "$pid" 2>/dev/null ) &
  wait "$pid"
' demo "$(cd "$build" && pwd)" "$work" || { echo "demo: driving the window failed:" >&2; cat "$work/program.log" >&2; exit 1; }
after=$(cli receive --summary)
echo "before: $expected"
echo "after F2 and F3 in the window: $after"
total=$(sed -E 's/Received ([0-9]+) .*/\1/' <<<"$expected")
left=$(sed -E 's/Received ([0-9]+) .*/\1/' <<<"$after")
if [ "$marked" -eq 0 ] || [ "$left" -ne $((total - marked)) ] || ! grep -q ", 0 marked" <<<"$after"; then
  echo "demo: the window did not remove exactly the $marked condemned messages" >&2
  cat "$work/program.log" >&2 || true
  exit 1
fi
cp "$work/received.png" "${POSTSIFT_DEMO_SCREENSHOT:-/dev/null}" 2>/dev/null || true
echo "demo: ok"
