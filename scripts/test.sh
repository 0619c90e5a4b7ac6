#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test. Each test starts the
# services it uses (a display, a sound server, the server component) and stops them again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
cd "$top/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
