# Helpers for the launcher's end-to-end tests; sourced, not run.
set -euo pipefail

app=${1:?usage: $0 path/to/Quorvel.app}
launcher="$app/Contents/MacOS/Quorvel"
[ -x "$launcher" ] || { echo "FAIL: no launcher at $launcher (build the bundle target)" >&2; exit 1; }

work=$(mktemp -d /tmp/quorvel-e2e.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  pkill -f "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "$work/launcher.err" ] && sed 's/^/  launcher: /' "$work/launcher.err" >&2; exit 1; }

# A port that nothing answers on right now.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/" || { echo "$port"; return; }
  done
}

ping_answer() { curl -s --max-time 3 "http://127.0.0.1:$1/api/ping" || true; }

# Waits up to $2 seconds (default 20) for the server on port $1 to answer as ours.
wait_serving() {
  local i
  for i in $(seq 1 $((${2:-20} * 10))); do
    case "$(ping_answer "$1")" in *quorvel*) return 0 ;; esac
    sleep 0.1
  done
  fail "no server answered on port $1"
}

# Waits up to $2 seconds for process $1 to end.
wait_gone() {
  local i
  for i in $(seq 1 $((${2:-20} * 10))); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
