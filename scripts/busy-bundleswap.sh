#!/usr/bin/env bash
# The installer's real two-minute wait, run on demand (too slow for the test suite, whose
# tests move a clock instead): waits for a process that never ends and must give up with
# "busy" after 120 seconds, without copying or relaunching. Usage: scripts/busy-bundleswap.sh [build]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/busy-bundleswap-XXXXXX")
sleep 600 &
sleeper=$!
trap 'kill $sleeper 2>/dev/null; rm -rf "$work"' EXIT

for place in Apps Downloads; do
  mkdir -p "$work/$place/Quorvel.app/Contents/MacOS"
  printf '#!/bin/sh\ntouch "%s/relaunched"\n' "$work" > "$work/$place/Quorvel.app/Contents/MacOS/Quorvel"
  chmod 755 "$work/$place/Quorvel.app/Contents/MacOS/Quorvel"
  cp "$build/bundle/Info.plist" "$work/$place/Quorvel.app/Contents/Info.plist"
done

start=$(date +%s.%N)
status=0
"$build/bin/bundleswap" --app "$work/Apps/Quorvel.app" --new "$work/Downloads/Quorvel.app" \
  --version 9.9.9 --bundle-id org.quorvel.Quorvel --team ABCDE12345 --wait "$sleeper" \
  --result "$work/result.json" || status=$?
end=$(date +%s.%N)

awk -v a="$start" -v b="$end" 'BEGIN { printf "waited: %.1f s\n", b - a }'
echo "exit status: $status (expected 1)"
echo "result: $(cat "$work/result.json")"
sleep 1
if [ -e "$work/relaunched" ]; then echo "relaunched: yes (wrong)"; else echo "relaunched: no"; fi
staged=$(find "$work/Apps" -mindepth 1 -maxdepth 1 -name '.*' | wc -l)
echo "staging bundles left: $staged"
[ "$status" = 1 ] && grep -q '"code":"busy"' "$work/result.json" && [ ! -e "$work/relaunched" ] && [ "$staged" = 0 ]
