# SPDX-License-Identifier: LGPL-2.1-or-later
# Which Wine loader and server to use on this host; sourced (". wine-env.sh")
# by every script that starts wine or wineserver, and by .ci/run to choose the
# packages. Starts no Windows program itself.
#
# Debian's /usr/bin/wine takes the 32-bit loader whenever wine32:i386 is
# installed, and that loader cannot start where the kernel does not execute
# 32-bit x86 code, not even for a 64-bit program. So this host is probed once
# (a 96-byte static i386 program that exits with status 42):
#   it can:    wine and wineserver as Debian sets them up, as always;
#   it cannot: the 64-bit loader /usr/lib/wine/wine64 directly (WINELOADER and
#              WINESERVER point at the 64-bit pair), and 32-bit Windows
#              programs are not run at all.
#
# Environment:
#   NETID_HOST_RUNS_I386  "yes" or "no": the probe's answer, exported so that
#                         child processes do not probe again. Set it to "no"
#                         beforehand to act as a host that cannot execute
#                         32-bit x86 code (how CI proves that path on a host
#                         that can); "yes" skips the probe.
# Sets and exports:
#   NETID_WINE            the loader to run Windows programs with
#   NETID_WINESERVER      the matching wineserver
#   NETID_WIN32_SKIP      empty where 32-bit Windows programs run here; else
#                         one line saying why they do not
#   NETID_WINE_ARCHES     the kinds of Wine prefix usable here ("win64 win32"
#                         or "win64")
# and the function netid_pe_machine FILE (i386, amd64, or the machine number
# in hex) for a Windows program.
# shellcheck shell=sh

# netid_probe_i386: status 0 when this host executes a static 32-bit x86 program.
netid_probe_i386() {
    # A directory where programs may be executed (a temporary directory may be
    # mounted noexec): a shell script must run there first.
    netid_probe_dir=
    for netid_probe_parent in "${TMPDIR:-/tmp}" /var/tmp /dev/shm "${HOME:-/nonexistent}"; do
        netid_probe_dir=$(mktemp -d "$netid_probe_parent/netid-i386.XXXXXX" 2>/dev/null) || continue
        printf '#!/bin/sh\nexit 42\n' >"$netid_probe_dir/control"
        chmod +x "$netid_probe_dir/control"
        netid_probe_status=0
        "$netid_probe_dir/control" >/dev/null 2>&1 || netid_probe_status=$?
        if [ "$netid_probe_status" -eq 42 ]; then
            break
        fi
        rm -rf "$netid_probe_dir"
        netid_probe_dir=
    done
    if [ -z "$netid_probe_dir" ]; then
        echo "wine-env.sh: found no directory to run the 32-bit probe in; taking it that 32-bit code does not run" >&2
        return 1
    fi
    # ELF header (52 bytes), one loadable segment (32 bytes) at 0x08048000, and
    # the code at 0x08048054: mov ebx,42; mov eax,1 (exit); int 0x80.
    {
        printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0'
        printf '\2\0\3\0\1\0\0\0\124\200\4\010\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0'
        printf '\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\140\0\0\0\140\0\0\0\5\0\0\0\0\020\0\0'
        printf '\273\52\0\0\0\270\1\0\0\0\315\200'
    } >"$netid_probe_dir/probe"
    chmod +x "$netid_probe_dir/probe"
    # An ELF the kernel refuses ("Exec format error") is handed to /bin/sh by
    # some callers; only the program itself ends with 42.
    netid_probe_status=0
    "$netid_probe_dir/probe" >/dev/null 2>&1 || netid_probe_status=$?
    rm -rf "$netid_probe_dir"
    [ "$netid_probe_status" -eq 42 ]
}

# netid_pe_machine FILE: the machine a Windows program is built for, read from
# its PE header (the header's offset at 0x3c, the machine 4 bytes after "PE\0\0").
netid_pe_machine() {
    netid_pe_bytes=$(od -An -tu1 -j60 -N4 "$1" 2>/dev/null) || return 1
    # shellcheck disable=SC2086 # one argument per byte
    set -- "$1" $netid_pe_bytes
    [ $# -eq 5 ] || return 1
    netid_pe_offset=$(($2 + 256 * $3 + 65536 * $4 + 16777216 * $5))
    netid_pe_bytes=$(od -An -tu1 -j"$netid_pe_offset" -N6 "$1" 2>/dev/null) || return 1
    # shellcheck disable=SC2086 # one argument per byte
    set -- $netid_pe_bytes
    [ $# -eq 6 ] && [ "$1 $2 $3 $4" = "80 69 0 0" ] || return 1
    case $(($5 + 256 * $6)) in
        332) echo i386 ;;
        34404) echo amd64 ;;
        *) printf '%x\n' $(($5 + 256 * $6)) ;;
    esac
}

case ${NETID_HOST_RUNS_I386:-} in
    yes | no) ;;
    "")
        if netid_probe_i386; then
            NETID_HOST_RUNS_I386=yes
        else
            NETID_HOST_RUNS_I386=no
        fi
        ;;
    *)
        echo "wine-env.sh: NETID_HOST_RUNS_I386 must be yes, no or unset, not '$NETID_HOST_RUNS_I386'" >&2
        # shellcheck disable=SC2317 # exit only where the file was run, not sourced
        return 2 2>/dev/null || exit 2
        ;;
esac

if [ "$NETID_HOST_RUNS_I386" = yes ]; then
    NETID_WINE=wine
    NETID_WINESERVER=wineserver
    if [ -x /usr/lib/wine/wine ] || [ ! -x /usr/lib/wine/wine64 ]; then
        NETID_WIN32_SKIP=
    else
        NETID_WIN32_SKIP="the 32-bit Wine loader is not installed (Debian package wine32:i386)"
    fi
else
    NETID_WINE=/usr/lib/wine/wine64
    NETID_WINESERVER=/usr/lib/wine/wineserver64
    WINELOADER=$NETID_WINE
    WINESERVER=$NETID_WINESERVER
    export WINELOADER WINESERVER
    NETID_WIN32_SKIP="this host cannot execute 32-bit x86 code"
fi
if [ -z "$NETID_WIN32_SKIP" ]; then
    NETID_WINE_ARCHES="win64 win32"
else
    NETID_WINE_ARCHES=win64
fi
export NETID_HOST_RUNS_I386 NETID_WINE NETID_WINESERVER NETID_WIN32_SKIP NETID_WINE_ARCHES
