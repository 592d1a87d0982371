#!/bin/sh
# Runs a Windows program under Wine, as CMake's cross-compiling emulator.
#   wine-run.sh PROGRAM.exe [ARGS...]
# The program's own output and exit status come through unchanged; Wine's own
# chatter does not. Without WINEPREFIX a throw-away prefix is made for this one
# run and removed afterwards; a WINEPREFIX that does not exist yet is created
# quietly first.
set -eu

: "${WINEDEBUG:=-all}"
# No Mono or Gecko installation prompts when a prefix is created.
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEDEBUG WINEDLLOVERRIDES

here=$(cd "$(dirname "$0")" && pwd)

throwaway=""
if [ -z "${WINEPREFIX:-}" ]; then
    throwaway=$(mktemp -d "${TMPDIR:-/tmp}/netid-wine.XXXXXX")
    WINEPREFIX=$throwaway/prefix
    export WINEPREFIX
    cleanup() {
        wineserver -k >/dev/null 2>&1 || true
        rm -rf "$throwaway"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
fi

"$here/wine-prefix.sh" ensure "$WINEPREFIX"

status=0
wine "$@" || status=$?
exit "$status"
