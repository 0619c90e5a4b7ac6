#!/usr/bin/env bash
# Installing on a person's desktop: a release archive made from the built bundle, unpacked and
# installed by a user without root in a private home; the files in place and valid, the icon
# found by the theme lookup, the quorvel command starting the launcher, a second install
# refused while it runs, an install over the installed copy, removal leaving the home as it
# was apart from the data folder, and removal with the data leaving it as it was. As root the test makes that user; otherwise it is the
# user running it, with a home of its own.
source "$(dirname "$0")/common.sh"
unset DISPLAY WAYLAND_DISPLAY
top=$(cd "$(dirname "$0")/../.." && pwd)
icon_lookup=$(dirname "$app")/tests/icon_lookup
chmod 755 "$work"
home=$work/home
mkdir -p "$home"
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  user=quorvel-home
  id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /bin/sh "$user"
  chown "$user" "$home"
fi
# A command as the user, with only what a login would give it.
as_user() {
  local run=()
  [ "$(id -un)" = "$user" ] || run=(runuser -u "$user" --)
  "${run[@]}" env -i HOME="$home" PATH="$home/.local/bin:/usr/bin:/bin" LANG=C.UTF-8 \
    LANGUAGE=en QT_QPA_PLATFORM=offscreen "$@"
}
before=$(find "$home" | sort)

archive=$(bash "$top/scripts/release.sh" --out "$work") || fail "no release archive"
case "$archive" in */Quorvel-*-linux-*.tar.gz) ;; *) fail "archive named $archive" ;; esac
mkdir "$work/unpacked" && chmod 755 "$work/unpacked"
tar -C "$work/unpacked" -xzf "$archive"
chmod -R a+rX "$work/unpacked"
as_user sh "$work/unpacked/install.sh" >"$work/install.out" 2>&1 || fail "install: $(cat "$work/install.out")"

bundle=$home/.local/lib/quorvel/Quorvel.app
entry=$home/.local/share/applications/quorvel.desktop
[ -x "$bundle/Contents/MacOS/Quorvel" ] || fail "no bundle at $bundle"
[ -x "$home/.local/bin/quorvel" ] || fail "no quorvel command"
[ -f "$home/.local/share/icons/hicolor/scalable/apps/quorvel.svg" ] || fail "no scalable icon"
[ -f "$home/.local/share/icons/hicolor/48x48/apps/quorvel.png" ] || fail "no 48x48 icon"
desktop-file-validate "$entry" || fail "desktop entry not valid"
grep -qx "Exec=\"$bundle/Contents/MacOS/Quorvel\"" "$entry" || fail "Exec not the installed launcher: $(grep Exec "$entry")"
grep -qx "Name=Open Quorvel" "$entry" || fail "no Open Quorvel action"
as_user "$icon_lookup" quorvel >"$work/icon.out" 2>/dev/null || fail "the theme does not find the icon"
grep -qx "256x256" "$work/icon.out" || fail "icon sizes: $(cat "$work/icon.out")"

port=$(free_port)
as_user quorvel --no-browser --port "$port" </dev/null >"$work/launcher.out" 2>"$work/launcher.err" &
pids+=("$!")
wait_serving "$port" 30
quorvel=$(pgrep -u "$user" -f "^$bundle/Contents/MacOS/Quorvel" | head -n1)
[ -n "$quorvel" ] || fail "no launcher process from the installed bundle"

if as_user sh "$work/unpacked/install.sh" >"$work/refused.out" 2>&1; then
  fail "installed while Quorvel runs"
fi
grep -q "Quorvel is running" "$work/refused.out" || fail "refusal said: $(cat "$work/refused.out")"

kill -TERM "$quorvel"
wait_gone "$quorvel" 15 || fail "launcher still running 15 s after SIGTERM"
echo marker >"$work/marker" && cp "$work/marker" "$bundle/Contents/Resources/old-copy" \
  && chown "$user" "$bundle/Contents/Resources/old-copy" 2>/dev/null || true
as_user sh "$work/unpacked/install.sh" >"$work/again.out" 2>&1 || fail "install over the installed copy: $(cat "$work/again.out")"
[ -e "$bundle/Contents/Resources/old-copy" ] && fail "the installed copy was not replaced"
ls -a "$home/.local/lib/quorvel" | grep -q '^\.Quorvel' && fail "a staged copy was left behind"

as_user quorvel --uninstall >"$work/uninstall.out" 2>&1 || fail "uninstall: $(cat "$work/uninstall.out")"
data=$home/.local/share/Quorvel
[ -d "$data/Data" ] || fail "the data folder went with the uninstall"
after=$(find "$home" | grep -v "^$data" | grep -vx "$home/.local" | grep -vx "$home/.local/share" | sort)
[ "$after" = "$before" ] || fail "left behind: $(comm -13 <(echo "$before") <(echo "$after"))"

# Asked to, the removal takes the data too, and the home is as it was.
as_user sh "$work/unpacked/install.sh" >/dev/null 2>&1 || fail "install after the removal"
as_user sh "$work/unpacked/install.sh" --uninstall --remove-data >"$work/uninstall.out" 2>&1 \
  || fail "uninstall with the data: $(cat "$work/uninstall.out")"
after=$(find "$home" | sort)
[ "$after" = "$before" ] || fail "left behind with the data: $(comm -13 <(echo "$before") <(echo "$after"))"
echo "install end-to-end: OK"
