#!/bin/sh
# Installs Quorvel for the user running it, without root: from the Quorvel.app beside this
# script (an unpacked release archive) or, in a checkout, from build/Quorvel.app.
#   install.sh                          install, or replace the installed copy
#   install.sh --uninstall [--remove-data]   remove it (and its data, when asked)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = "--uninstall" ]; then
  installed=$HOME/.local/lib/quorvel/Quorvel.app/Contents/MacOS/Quorvel
  [ -x "$installed" ] || { echo "Quorvel is not installed for $(id -un)." >&2; exit 1; }
  exec "$installed" "$@"
fi
for bundle in "$here/Quorvel.app" "$here/../build/Quorvel.app"; do
  [ -x "$bundle/Contents/MacOS/Quorvel" ] || continue
  "$bundle/Contents/MacOS/Quorvel" --install "$bundle"
  case ":$PATH:" in
    *":$HOME/.local/bin:"*) ;;
    *) echo "($HOME/.local/bin is not on your PATH; add it to start Quorvel by typing quorvel.)" ;;
  esac
  exit 0
done
echo "There is no Quorvel.app beside this script. In a checkout, build it first: bash scripts/build.sh" >&2
exit 1
