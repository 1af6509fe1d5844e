#!/usr/bin/env bash
# The demo: what the library does, shown by two users of zalvio-cli talking
# through a stand-in messaging service on this machine.
#
# It installs the Debian packages that are missing, builds what it needs
# (the library, the stand-in service and zalvio-cli, in build/ as ./test.sh
# does, so the tests reuse it), starts the service on a free loopback port
# in a temporary directory, mints two users and plays a conversation:
# messages both ways with their sent and delivered statuses, a message
# written while the peer is offline and delivered when he returns, the
# conversation list with unread counts, and the history read back page by
# page. Everything it started is stopped when it ends.
#
# Usage: tools/demo.sh            (BUILD_DIR=... to build elsewhere)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

tools/install-deps.sh
echo "building the library, the stand-in service and zalvio-cli in $build/ ..."
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target zalvio zalvio-service zalvio-cli >/dev/null

tmp=$(mktemp -d /tmp/zalvio-demo-XXXXXX)
service_pid=""
cleanup() {
  local rc=$?
  exec 7>&- 8>&- 2>/dev/null || true
  for f in "$tmp"/*.pid; do [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
  [ $rc -eq 0 ] || echo "demo: failed (exit $rc)" >&2
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
note() { printf '   (%s)\n' "$*"; }

# Waits until `text` shows up in a participant's output.
wait_for() {
  local name=$1 text=$2
  for _ in $(seq 200); do
    grep -qF -- "$text" "$tmp/$name.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "demo: $name never printed: $text" >&2
  exit 1
}

# Waits until a background participant has ended; fails unless it ended well.
wait_done() {
  local name=$1
  for _ in $(seq 300); do
    [ -s "$tmp/$name.rc" ] && break
    sleep 0.05
  done
  [ "$(cat "$tmp/$name.rc" 2>/dev/null)" = 0 ] || { echo "demo: $name failed" >&2; exit 1; }
}

# zalvio-cli as one of the two users.
cli() {
  local user=$1
  shift
  HOME=$tmp "$build/zalvio-cli" --server "127.0.0.1:$port" --ca "$tmp/service/ca.pem" \
    --token-file "$tmp/$user.token" --data "$tmp/$user" --log "$tmp/$user.log" "$@"
}

# Runs a participant in the background, its lines shown as they come,
# standard input from `input`; its exit code lands in NAME.rc.
background() {
  local name=$1 input=$2 label=$3
  shift 3
  {
    "$@" <"$input" &
    echo $! >"$tmp/$name.pid"
    wait $! && echo 0 >"$tmp/$name.rc" || echo $? >"$tmp/$name.rc"
    rm -f "$tmp/$name.pid"
  } 2>&1 | tee "$tmp/$name.out" | sed -u "s/^/  $label | /" &
}

foreground() {
  local label=$1
  shift
  "$@" 2>&1 | sed -u "s/^/  $label | /"
}

# ---- the service and its two users ----------------------------------------

"$build/zalvio-service" --listen 127.0.0.1:0 --data "$tmp/service" >"$tmp/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do grep -q '^port ' "$tmp/service.log" && break; sleep 0.05; done
port=$(awk '/^port /{print $2; exit}' "$tmp/service.log")
[ -n "$port" ] || { echo "demo: the stand-in service did not start" >&2; exit 1; }
"$build/zalvio-service" mint-token --data "$tmp/service" --uid 1001 >"$tmp/alice.token"
"$build/zalvio-service" mint-token --data "$tmp/service" --uid 1002 >"$tmp/bob.token"

step "A stand-in messaging service listens on 127.0.0.1:$port; Alice is u1001, Bob is u1002"

step "1. Alice and Bob open a chat with each other"
mkfifo "$tmp/alice.in" "$tmp/bob.in"
background alice "$tmp/alice.in" "alice" cli alice chat u1002
exec 7>"$tmp/alice.in"
wait_for alice "online as u1001"
background bob "$tmp/bob.in" "  bob" cli bob chat u1001
exec 8>"$tmp/bob.in"
wait_for bob "online as u1002"

step "2. Messages both ways: the writer sees each one sent (the service has it), then delivered (the peer's device has it)"
echo "Hi Bob! Is the new client working for you?" >&7
wait_for alice '"Hi Bob! Is the new client working for you?" to u1002: delivered'
wait_for bob "u1001: Hi Bob!"
echo "Hi Alice, loud and clear." >&8
wait_for bob '"Hi Alice, loud and clear." to u1001: delivered'
wait_for alice "u1002: Hi Alice"
echo "Lunch at noon?" >&7
wait_for alice '"Lunch at noon?" to u1002: delivered'
echo "Sure, see you there." >&8
wait_for bob '"Sure, see you there." to u1001: delivered'
wait_for alice "u1002: Sure"

step "3. Bob closes his chat; Alice writes while he is offline"
exec 8>&-
wait_done bob
echo "Bob, please bring the slides." >&7
wait_for alice '"Bob, please bring the slides." to u1002: sent'
note "the service keeps it for Bob: sent, not delivered"

step "4. Bob comes back: the waiting message reaches him, and Alice sees it delivered"
background bob-listen /dev/null "  bob" cli bob listen --count 3 --for 30
wait_for bob-listen "u1001: Bob, please bring the slides."
wait_for alice '"Bob, please bring the slides." to u1002: delivered'
echo "Also, the room changed to 4B." >&7
wait_for alice '"Also, the room changed to 4B." to u1002: delivered'
echo "See you!" >&7
wait_done bob-listen
exec 7>&-
wait_done alice

step "5. Bob's conversation list: the latest message and how many are unread"
note "what arrived in his chat he has seen; the three that came while listening he has not"
foreground "  bob" cli bob conversations

step "6. Bob reads the conversation back, three messages a page, newest page first"
foreground "  bob" cli bob history --page 3 u1001

step "7. Having read them, Bob has nothing unread; Alice's list shows her side"
foreground "  bob" cli bob conversations
foreground alice cli alice conversations

printf '\nDone: every process the demo started has been stopped.\n'
