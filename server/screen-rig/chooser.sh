#!/bin/sh
# Stands in for the user at the portal's picker: answers with the output named in
# $XDG_RUNTIME_DIR/chooser-answer, or cancels (exit 1) when that file says CANCEL.
answer=$(cat "$XDG_RUNTIME_DIR/chooser-answer" 2>/dev/null || echo HEADLESS-1)
echo "$answer" >>"$XDG_RUNTIME_DIR/chooser.log"
[ "$answer" = CANCEL ] && exit 1
echo "$answer"
