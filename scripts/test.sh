#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test. Each test starts the
# services it uses (a display, a sound server, the server component) and stops them again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
# The page's browser tests drive Debian's Chromium with playwright-core, from the lock file.
npm ci --prefix "$top/app/tests/browser" --no-audit --no-fund --loglevel=error
cd "$top/build"
# The sound tests run real sound servers without real-time priority: on a virtual machine
# whose host takes its CPU away for a moment, the sink itself plays a hole. A test gets up to
# three runs; a fault of ours fails all three.
ctest --output-on-failure -j "$(nproc)" --timeout 600 --repeat until-pass:3 "$@"
