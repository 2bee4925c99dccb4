#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder, so nothing touches the user's home, and without Wine's debug chatter.
here="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${VORENDIX_WINEPREFIX:-$here/build/windows/wineprefix}"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
