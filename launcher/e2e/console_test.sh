#!/usr/bin/env bash
# The built bundle with the real server component and Node.js, under the console desktop:
# launch, ping, log header, a second launch, a terminal's Ctrl-C and SIGTERM through the quit
# flow, a killed launcher taking its server along, a refused port.
source "$(dirname "$0")/common.sh"
unset DISPLAY WAYLAND_DISPLAY

port=$(free_port)
support="$work/support"
# In a session of its own, as a job in a terminal would be: its group is the foreground group.
setsid "$launcher" --no-browser --support "$support" --port "$port" </dev/null >"$work/launcher.out" 2>"$work/launcher.err" &
quorvel=$!
pids+=("$quorvel")
wait_serving "$port"

answer=$(ping_answer "$port")
case "$answer" in *'"pages":0'*) ;; *) fail "ping answer without pages 0: $answer" ;; esac
[ -d "$support/Data" ] || fail "no data folder at $support/Data"
grep -q "^===== [0-9-]* [0-9:]* Quorvel [0-9.]* 启动 =====\$" "$support/Data/server.log" \
  || fail "no log header: $(cat "$support/Data/server.log")"
server=$(pgrep -f "$app/Contents/Resources/app/server/index.js" | head -n1)
[ -n "$server" ] || fail "no server process"

# A page's live connection is counted while it is open.
curl -s -N --max-time 30 "http://127.0.0.1:$port/api/events" >/dev/null &
page=$!
pids+=("$page")
for _ in $(seq 1 50); do case "$(ping_answer "$port")" in *'"pages":1'*) break ;; esac; sleep 0.1; done
case "$(ping_answer "$port")" in *'"pages":1'*) ;; *) fail "open page not counted" ;; esac
kill "$page"

# A second launch finds our server, shows where the page is and ends by itself.
timeout 20 "$launcher" --support "$support" --port "$port" </dev/null >/dev/null 2>"$work/second.err" \
  || fail "second launch did not end cleanly: $(cat "$work/second.err")"
grep -q "the page is at http://localhost:$port" "$work/second.err" \
  || fail "second launch did not name the page: $(cat "$work/second.err")"
kill -0 "$server" || fail "the second launch ended the server"

# The server leads a group of its own, so the terminal's Ctrl-C (SIGINT to the foreground group)
# reaches only the launcher, which asks the server to quit.
[ "$(ps -o pgid= -p "$server" | tr -d ' ')" = "$server" ] || fail "server is not in a group of its own"
kill -INT -- "-$quorvel"
wait_gone "$quorvel" 12 || fail "launcher still running 12 s after Ctrl-C"
wait "$quorvel" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "launcher exit status $status after Ctrl-C"
wait_gone "$server" 2 || fail "server still running after the launcher ended"
grep -q "quorvel server: quit requested" "$support/Data/server.log" || fail "no quit request: $(cat "$support/Data/server.log")"
grep -q "SIGINT" "$support/Data/server.log" && fail "the terminal's SIGINT reached the server"

# Launches once more without a terminal's session; sets quorvel and server to their pids.
relaunch() {
  "$launcher" --no-browser --support "$support" --port "$port" </dev/null >"$work/launcher.out" 2>"$work/launcher.err" &
  quorvel=$!
  pids+=("$quorvel")
  wait_serving "$port"
  server=$(pgrep -f "$app/Contents/Resources/app/server/index.js" | head -n1)
}

# SIGTERM goes through the quit flow: the server is asked to quit and both end.
relaunch
kill -TERM "$quorvel"
wait_gone "$quorvel" 12 || fail "launcher still running 12 s after SIGTERM"
wait "$quorvel" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "launcher exit status $status"
wait_gone "$server" 2 || fail "server still running after the launcher ended"

# A launcher killed outright takes its server along, and the port is free again at once.
relaunch
kill -KILL "$quorvel"
wait "$quorvel" 2>/dev/null || true
wait_gone "$server" 2 || fail "server still running 2 s after the launcher was killed"
curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/api/ping" && fail "port $port still answers"
grep -q "quorvel server: SIGTERM, shutting down" "$support/Data/server.log" || fail "server did not shut down on SIGTERM"

# A port that is not a TCP port is refused before anything starts.
if "$launcher" --no-browser --support "$support" --port 70000 </dev/null 2>"$work/refused.err"; then
  fail "port 70000 accepted"
else
  status=$?
fi
[ "$status" -eq 2 ] || fail "port 70000: exit status $status"
grep -q -- "--port 70000: not a TCP port; use a number from 1 to 65535" "$work/refused.err" \
  || fail "port 70000: $(cat "$work/refused.err")"

echo "console end-to-end: OK"
