#!/usr/bin/env bash
# Benchmark of the update installer: installs a 300 MB bundle of 5000 files over an installed
# one of the same size, beside a plain `cp -a` of the same bundle in the same run, and measures
# how fast a bundle is verified. Run after a build: scripts/bench-bundleswap.sh [build folder]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
bundleswap=$build/bin/bundleswap
bundlesign=$build/bin/bundlesign
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-bundleswap-XXXXXX")
trap 'rm -rf "$work"' EXIT

bash "$top/bundleswap/tests/make-test-ca.sh" "$work/ca"

# make_bundle PATH VERSION: 50 folders of 100 files of 60 KiB of random bytes (300 MB in all).
make_bundle() {
  local contents=$1/Contents
  mkdir -p "$contents/MacOS" "$contents/Resources/trust"
  cat > "$contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.bench.Quorvel</string>
<key>CFBundleExecutable</key><string>Quorvel</string>
<key>CFBundleShortVersionString</key><string>$2</string>
</dict></plist>
PLIST
  printf '#!/bin/sh\nexit 0\n' > "$contents/MacOS/Quorvel"
  chmod 755 "$contents/MacOS/Quorvel"
  cp "$work/ca/root.pem" "$contents/Resources/trust/publisher-roots.pem"
  cp "$work/ca/notary-root.pem" "$contents/Resources/trust/notary-roots.pem"
  for d in $(seq -w 0 49); do
    mkdir -p "$contents/Resources/data/$d"
    head -c $((100 * 61440)) /dev/urandom | split -b 61440 -a 3 - "$contents/Resources/data/$d/part"
  done
}

make_bundle "$work/Apps/Quorvel.app" 1.0.0
make_bundle "$work/Downloads/Quorvel.app" 1.1.0
"$bundlesign" sign --key "$work/ca/leaf.key" --cert "$work/ca/leaf.pem" \
  --chain "$work/ca/intermediate.pem" "$work/Downloads/Quorvel.app"
"$bundlesign" notarize --key "$work/ca/notary.key" --cert "$work/ca/notary.pem" \
  "$work/Downloads/Quorvel.app"
files=$(find "$work/Downloads/Quorvel.app" -type f | wc -l)
bytes=$(du -sb "$work/Downloads/Quorvel.app" | cut -f1)

seconds() { date +%s.%N; }
# Every measurement starts with the new bundle in the page cache and nothing left to write back.
settle() {
  cat $(find "$work/Downloads/Quorvel.app" -type f) > /dev/null
  sync
}

settle
start=$(seconds)
cp -a "$work/Downloads/Quorvel.app" "$work/Apps/.copy.app"
copied=$(seconds)
# Removing the replaced bundle is part of every install; time it alone on a copy on disk.
settle
start_remove=$(seconds)
rm -rf "$work/Apps/.copy.app"
removed=$(seconds)

settle
start_check=$(seconds)
"$bundlesign" check --publisher-roots "$work/ca/root.pem" --notary-roots "$work/ca/notary-root.pem" \
  "$work/Downloads/Quorvel.app" > /dev/null
checked=$(seconds)

settle
start_install=$(seconds)
"$bundleswap" --app "$work/Apps/Quorvel.app" --new "$work/Downloads/Quorvel.app" --version 1.1.0 \
  --bundle-id org.bench.Quorvel --team TEAMA12345 --result "$work/result.json" 2> "$work/install.log"
installed=$(seconds)
grep -q '"ok":true' "$work/result.json" || { cat "$work/install.log"; exit 1; }

awk -v files="$files" -v bytes="$bytes" -v t0="$start" -v t1="$copied" -v t2="$start_check" \
    -v t3="$checked" -v t4="$start_install" -v t5="$installed" -v t6="$start_remove" \
    -v t7="$removed" 'BEGIN {
  mb = bytes / 1e6; cp = t1 - t0; check = t3 - t2; install = t5 - t4; remove = t7 - t6
  printf "bundle: %d files, %.1f MB\n", files, mb
  printf "cp -a: %.2f s\n", cp
  printf "bundleswap install: %.2f s (%.2f x cp -a; includes the fixed 0.3 s settle pause)\n", install, install / cp
  printf "rm -rf of the same bundle on disk: %.2f s\n", remove
  printf "bundleswap install without the old bundle'"'"'s removal: %.2f s (%.2f x cp -a)\n", install - remove, (install - remove) / cp
  printf "verification (seal, signature, notarisation): %.2f s, %.0f MB/s\n", check, mb / check
}'
