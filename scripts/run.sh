#!/usr/bin/env bash
# Installs what Quorvel needs, builds it and starts it. Options are passed to the launcher,
# for example: scripts/run.sh --port 6000 --no-browser
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
exec "$top/build/Quorvel.app/Contents/MacOS/Quorvel" "$@"
