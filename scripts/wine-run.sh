#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder, so nothing touches the user's home, and without Wine's debug chatter.
#   wine-run.sh --start   starts a Wine server that stays until --stop, so
#                         that runs in between never meet one shutting down
#   wine-run.sh --stop    ends it
here="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${VORENDIX_WINEPREFIX:-$here/build/windows/wineprefix}"
export WINEDEBUG=-all
# Wine leaves a folder of its own in the temporary folder: keep it in ours.
export TMPDIR="$WINEPREFIX/../wine-tmp"
mkdir -p "$WINEPREFIX" "$TMPDIR"
case "${1:-}" in
    --start)
        # Away from the caller's output, which a test runner waits on to close.
        /usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1
        exec /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 ;;
    --stop)
        exec /usr/lib/wine/wineserver64 -k ;;
esac
exec /usr/lib/wine/wine64 "$@"
