#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs the comparison program once with --check and holds what it prints
# against the expected lines, which the Linux and the Windows builds share;
# so both builds are shown to compute the same results. Holds no timing.
#   check.sh EXPECTED PROGRAM [ARGS...]
# PROGRAM with its ARGS is the program itself, or a runner and the program
# (cmake/wine-run.sh netid_compare.exe). A Linux build gets a fresh store of
# its own; a Windows one the Wine prefix of its environment.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 EXPECTED PROGRAM [ARGS...]" >&2; exit 2; }
expected=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/netid-compare-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
NETID_REGISTRY_DIR=$work/store
export NETID_REGISTRY_DIR

status=0
"$@" --check >"$work/raw" 2>"$work/err" || status=$?
# Windows programs end their lines with CR LF.
tr -d '\r' <"$work/raw" >"$work/output"
if [ "$status" -ne 0 ]; then
    echo "check.sh: $* --check ended with status $status" >&2
    cat "$work/err" "$work/output" >&2
    exit 1
fi
if ! diff -u "$expected" "$work/output"; then
    echo "check.sh: $* --check differs from $expected (- expected, + observed)" >&2
    exit 1
fi
echo "check.sh: $(wc -l <"$work/output") lines as expected"
