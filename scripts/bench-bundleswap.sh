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
# timed FILE COMMAND...: appends the command's wall time in seconds to FILE.
timed() {
  local into=$1 begin end
  shift
  settle
  begin=$(seconds)
  "$@"
  end=$(seconds)
  awk -v a="$begin" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' >> "$work/$into"
}
median() { sort -n "$work/$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

install() {
  "$bundleswap" --app "$work/Apps/Quorvel.app" --new "$work/Downloads/Quorvel.app" \
    --version 1.1.0 --bundle-id org.bench.Quorvel --team TEAMA12345 --result "$work/result.json" \
    2> "$work/install.log"
  grep -q '"ok":true' "$work/result.json" || { cat "$work/install.log"; exit 1; }
}

# The disk is shared and noisy: three rounds, medians reported. Each install replaces the
# bundle the previous round installed, which is of the same size.
rounds=3
for round in $(seq "$rounds"); do
  timed copy.times cp -a "$work/Downloads/Quorvel.app" "$work/Apps/.copy.app"
  # Removing the replaced bundle is part of every install; timed alone on a copy on disk.
  timed remove.times rm -rf "$work/Apps/.copy.app"
  timed check.times "$bundlesign" check --publisher-roots "$work/ca/root.pem" \
    --notary-roots "$work/ca/notary-root.pem" "$work/Downloads/Quorvel.app" > /dev/null
  timed install.times install
done

awk -v files="$files" -v bytes="$bytes" -v rounds="$rounds" -v cp="$(median copy.times)" \
    -v remove="$(median remove.times)" -v check="$(median check.times)" \
    -v install="$(median install.times)" 'BEGIN {
  mb = bytes / 1e6
  printf "bundle: %d files, %.1f MB; medians of %d rounds\n", files, mb, rounds
  printf "cp -a: %.2f s\n", cp
  printf "bundleswap install: %.2f s (%.2f x cp -a)\n", install, install / cp
  printf "  of which: verification %.2f s, settle pause 0.30 s, removal of the old bundle (rm -rf of the same bundle: %.2f s)\n", check, remove
  printf "verification (seal, signature, notarisation): %.0f MB/s\n", mb / check
}'
