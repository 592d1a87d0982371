#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs a Windows program under Wine, as CMake's cross-compiling emulator.
#   wine-run.sh PROGRAM.exe [ARGS...]
# The program's own output and exit status come through unchanged; Wine's own
# chatter does not. Without WINEPREFIX a throw-away prefix is made for this one
# run and removed afterwards; a WINEPREFIX that does not exist yet is created
# quietly first. The loader is the one cmake/wine-env.sh chooses for this host;
# a 32-bit program where 32-bit x86 code cannot run is refused with a message.
set -eu

: "${WINEDEBUG:=-all}"
# No Mono or Gecko installation prompts when a prefix is created.
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEDEBUG WINEDLLOVERRIDES

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

if [ -n "$NETID_WIN32_SKIP" ] && [ "$(netid_pe_machine "$1")" = i386 ]; then
    echo "wine-run.sh: $1 is a 32-bit program and is not run: $NETID_WIN32_SKIP" >&2
    exit 1
fi

throwaway=""
if [ -z "${WINEPREFIX:-}" ]; then
    throwaway=$(mktemp -d "${TMPDIR:-/tmp}/netid-wine.XXXXXX")
    WINEPREFIX=$throwaway/prefix
    export WINEPREFIX
    cleanup() {
        "$NETID_WINESERVER" -k >/dev/null 2>&1 || true
        rm -rf "$throwaway"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
fi

"$here/wine-prefix.sh" ensure "$WINEPREFIX"

status=0
"$NETID_WINE" "$@" || status=$?
exit "$status"
