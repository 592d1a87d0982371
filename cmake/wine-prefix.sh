#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Creates and removes the Wine prefixes the Windows builds run in.
#   wine-prefix.sh ensure  DIR   create DIR as a Wine prefix unless it is one already
#   wine-prefix.sh fresh   DIR   remove DIR and create it anew
#   wine-prefix.sh destroy DIR   stop its wineserver and remove DIR
# WINEARCH (win32 or win64, default win64) chooses the kind of a new prefix;
# where this host cannot execute 32-bit x86 code only win64 can be made (the
# loader is the one cmake/wine-env.sh chooses).
# Everything Wine says while doing so is kept off the terminal; on failure it
# is shown.
set -eu

: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEDEBUG WINEDLLOVERRIDES
. "$(cd "$(dirname "$0")" && pwd)/wine-env.sh"

[ $# -eq 2 ] || { echo "usage: $0 ensure|fresh|destroy DIR" >&2; exit 2; }
action=$1
prefix=$2
case $prefix in /*) ;; *) prefix=$(pwd)/$prefix ;; esac

stop_server() {
    if [ -d "$prefix" ]; then
        WINEPREFIX=$prefix "$NETID_WINESERVER" -k >/dev/null 2>&1 || true
        WINEPREFIX=$prefix "$NETID_WINESERVER" -w >/dev/null 2>&1 || true
    fi
}

create() {
    case " $NETID_WINE_ARCHES " in
        *" ${WINEARCH:-win64} "*) ;;
        *)
            echo "wine-prefix.sh: cannot make a ${WINEARCH:-win64} prefix: $NETID_WIN32_SKIP" >&2
            exit 1
            ;;
    esac
    mkdir -p "$(dirname "$prefix")"
    # Concurrent callers: the first one to take the lock creates the prefix.
    lock=$prefix.lock
    while ! mkdir "$lock" 2>/dev/null; do
        if [ -f "$prefix/system.reg" ] && [ ! -d "$lock" ]; then
            return 0
        fi
        sleep 1
    done
    if [ ! -f "$prefix/system.reg" ]; then
        log=$(mktemp "${TMPDIR:-/tmp}/netid-wineboot.XXXXXX")
        if ! WINEPREFIX=$prefix "$NETID_WINE" wineboot --init >"$log" 2>&1 </dev/null ||
           ! WINEPREFIX=$prefix "$NETID_WINESERVER" -w >>"$log" 2>&1; then
            cat "$log" >&2
            rm -f "$log"
            rmdir "$lock"
            echo "wine-prefix.sh: cannot create a Wine prefix in $prefix" >&2
            exit 1
        fi
        rm -f "$log"
    fi
    rmdir "$lock"
}

case $action in
    ensure)
        [ -f "$prefix/system.reg" ] || create
        ;;
    fresh)
        stop_server
        rm -rf "$prefix"
        create
        ;;
    destroy)
        stop_server
        rm -rf "$prefix" "$prefix.lock"
        ;;
    *)
        echo "usage: $0 ensure|fresh|destroy DIR" >&2
        exit 2
        ;;
esac
