#!/usr/bin/env bash
# Makes the release archive Quorvel-VERSION-linux-ARCH.tar.gz in build/ from build/Quorvel.app
# (build it first: cmake --build build --target bundle, or the release target does both):
# the bundle, sealed, and signed and notarised when the keys are given, with install.sh beside.
#   scripts/release.sh [--version V] [--team T] [--out DIR] [--bundle APP]
# --version and --team set the bundle's version and the team its updates must be signed by
# (Info.plist), for a release of another version than the build's own; --bundle takes another
# assembled bundle than build/Quorvel.app.
# Signing, from the environment (see bundleswap/README.md):
#   QUORVEL_TRUST_DIR    publisher-roots.pem and notary-roots.pem, pinned into the bundle
#   QUORVEL_SIGN_KEY, QUORVEL_SIGN_CERT, QUORVEL_SIGN_CHAIN   the publisher's key and certificates
#   QUORVEL_NOTARY_KEY, QUORVEL_NOTARY_CERT                   the notary's
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
version= team= out=$build source=$build/Quorvel.app
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2 ;;
    --team) team=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --bundle) source=$2; shift 2 ;;
    *) echo "usage: $0 [--version V] [--team T] [--out DIR] [--bundle APP]" >&2; exit 2 ;;
  esac
done
[ -x "$source/Contents/MacOS/Quorvel" ] || { echo "$source is missing: build the bundle first" >&2; exit 1; }
stage=$(mktemp -d "$build/release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
bundle=$stage/Quorvel.app
cp -a "$source" "$bundle"
plist=$bundle/Contents/Info.plist
set_key() {  # key value: the <string> after <key>key</key>
  python3 - "$plist" "$1" "$2" <<'PY'
import re, sys
path, key, value = sys.argv[1:]
text = open(path).read()
text, n = re.subn(r"(<key>%s</key>\s*<string>)[^<]*(</string>)" % re.escape(key), r"\g<1>%s\g<2>" % value, text)
if n != 1:
    sys.exit("no %s in %s" % (key, path))
open(path, "w").write(text)
PY
}
[ -n "$version" ] && set_key CFBundleShortVersionString "$version"
[ -n "$team" ] && set_key QuorvelTeamIdentifier "$team"
version=$(sed -n '/CFBundleShortVersionString/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' "$plist")
if [ -n "${QUORVEL_TRUST_DIR:-}" ]; then
  mkdir -p "$bundle/Contents/Resources/trust"
  cp "$QUORVEL_TRUST_DIR/publisher-roots.pem" "$QUORVEL_TRUST_DIR/notary-roots.pem" \
    "$bundle/Contents/Resources/trust/"
fi
sign=$build/bin/bundlesign
if [ -n "${QUORVEL_SIGN_KEY:-}" ]; then
  "$sign" sign --key "$QUORVEL_SIGN_KEY" --cert "$QUORVEL_SIGN_CERT" \
    ${QUORVEL_SIGN_CHAIN:+--chain "$QUORVEL_SIGN_CHAIN"} "$bundle"
  if [ -n "${QUORVEL_NOTARY_KEY:-}" ]; then
    "$sign" notarize --key "$QUORVEL_NOTARY_KEY" --cert "$QUORVEL_NOTARY_CERT" "$bundle"
  fi
else
  "$sign" seal "$bundle"
fi
cp "$top/scripts/install.sh" "$stage/install.sh"
chmod 755 "$stage/install.sh"
mkdir -p "$out"
archive=$out/Quorvel-$version-linux-$(uname -m).tar.gz
tar -C "$stage" -czf "$archive.tmp" Quorvel.app install.sh
mv "$archive.tmp" "$archive"
echo "$archive"
