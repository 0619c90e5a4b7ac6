#!/usr/bin/env bash
# A real Qt alert under Xvfb answered with xdotool: the data-folder alert for a recorded folder
# that is missing, answered "Try Again" (its default button) first while the folder is still
# missing, then again once it exists; the server then starts with that folder.
source "$(dirname "$0")/common.sh"
unset WAYLAND_DISPLAY
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=("$!")
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"

port=$(free_port)
support="$work/support"
notes="$work/Notes"
mkdir -p "$support"
printf '%s\n' "$notes" >"$support/data-location"
LANGUAGE=en "$launcher" --no-browser --support "$support" --port "$port" \
  </dev/null >"$work/launcher.out" 2>"$work/launcher.err" &
quorvel=$!
pids+=("$quorvel")

# Presses Return in the alert window once it is shown, and waits for that window to go.
answer_alert() {
  local window
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Quorvel$' | head -n1) \
    || fail "no alert window appeared"
  xdotool windowfocus --sync "$window" key Return
  for _ in $(seq 1 100); do
    xdotool search --onlyvisible --name '^Quorvel$' 2>/dev/null | grep -qx "$window" || return 0
    sleep 0.1
  done
  fail "alert window did not close"
}

answer_alert
kill -0 "$quorvel" || fail "launcher ended after Try Again while the folder is missing"
[ -e "$notes" ] && fail "the missing folder was created"
mkdir -p "$notes"
answer_alert
wait_serving "$port"
[ -f "$notes/server.log" ] || fail "server log not in the recorded folder"

kill -TERM "$quorvel"
wait_gone "$quorvel" 12 || fail "launcher still running 12 s after SIGTERM"
echo "Qt alert end-to-end: OK"
