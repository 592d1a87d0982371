#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# End-to-end check of the Windows tool under Wine, against Wine's own reg.exe.
#   e2e.sh SETNETID.EXE 32|64 WORKDIR
# The tool is checked in fresh prefixes made under WORKDIR (removed at the end):
#   - a prefix without the runtime's key: status 0, nothing printed, nothing created;
#   - the key made with "reg add": the value written as reg.exe reads it back,
#     for several addresses, and left alone when the address is refused;
#   - the registry view: a 64-bit prefix shows a 32-bit program a view of its
#     own of HKLM\Software (the WOW6432Node key). The 32-bit tool must write
#     into that view, which "reg /reg:32" reads, and the 64-bit tool into the
#     native one ("reg /reg:64"); the other view must stay untouched. The
#     32-bit tool is also run in a 32-bit prefix, where there is only one view.
# Wine is started as cmake/wine-env.sh chooses for this host.
set -eu

[ $# -eq 3 ] || { echo "usage: $0 SETNETID.EXE 32|64 WORKDIR" >&2; exit 2; }
tool=$1
bits=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix_tool=$here/../../cmake/wine-prefix.sh
. "$here/../../cmake/wine-env.sh"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH

key='HKLM\Software\Zadizovi\REdiVOR\System'
failures=0
checks=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

pass() {
    checks=$((checks + 1))
}

rm -rf "$work"
mkdir -p "$work"
prefixes=""
cleanup() {
    for p in $prefixes; do
        "$prefix_tool" destroy "$p" || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# new_prefix NAME ARCH: a fresh prefix with the tool copied to C:\netid, so
# that no directory name of the build tree reaches the tool's command line.
new_prefix() {
    p=$work/$1
    prefixes="$prefixes $p"
    WINEARCH=$2 "$prefix_tool" fresh "$p"
    mkdir -p "$p/drive_c/netid"
    cp "$tool" "$p/drive_c/netid/setnetid.exe"
    WINEPREFIX=$p
    export WINEPREFIX
}

# run_tool ARGS...: runs the tool; sets status and output (stdout and stderr).
run_tool() {
    status=0
    output=$("$NETID_WINE" 'C:\netid\setnetid.exe' "$@" 2>&1 </dev/null) || status=$?
}

# expect_silent_success WHAT
expect_silent_success() {
    if [ "$status" -ne 0 ]; then
        fail "$1: exit status $status, expected 0"
    elif [ -n "$output" ]; then
        fail "$1: printed '$output', expected nothing"
    else
        pass
    fi
}

# query_value VIEW: the AmsNetId data as reg.exe shows it in that view ("" if absent).
# Under load Wine now and then starts reg.exe and gets nothing back from it at
# all (no line, no error); an empty answer is therefore asked again, up to three
# times. A value really absent stays absent on every try, so no fault is hidden.
query_value() {
    tries=0
    while :; do
        answer=$("$NETID_WINE" reg query "$key" /v AmsNetId "/reg:$1" 2>/dev/null </dev/null |
            tr -d '\r' | awk '$1 == "AmsNetId" { print $2 " " $3 }')
        tries=$((tries + 1))
        if [ -n "$answer" ] || [ "$tries" -ge 3 ]; then
            break
        fi
    done
    printf '%s\n' "$answer"
}

# key_exists VIEW PATH
key_exists() {
    "$NETID_WINE" reg query "$2" "/reg:$1" >/dev/null 2>&1 </dev/null
}

# expect_value VIEW DATA WHAT
expect_value() {
    got=$(query_value "$1")
    if [ "$got" = "REG_BINARY $2" ]; then
        pass
    else
        fail "$3: reg query /reg:$1 gave '$got', expected 'REG_BINARY $2'"
    fi
}

# write_cases VIEW: the key exists in VIEW; run the tool with several addresses.
write_cases() {
    view=$1
    while read -r address expected; do
        run_tool IP "$address"
        expect_silent_success "IP $address"
        expect_value "$view" "$expected" "IP $address"
    done <<'CASES'
192.168.0.10 C0A8000A0101
10.1.2.300 0A01022C0101
10.1.2.-1 0A0102FF0101
1.2.3 010203000101
255.255.255.255 FFFFFFFF0101
CASES
    # The marker and the address with blanks around and inside, as one argument.
    run_tool "IP  10 . 0 . 0 . 7 "
    expect_silent_success "IP with blanks"
    expect_value "$view" 0A0000070101 "IP with blanks"
    # Refused addresses leave the value as it was.
    for refused in 256.1.1.1 -5.1.1.1; do
        run_tool IP "$refused"
        expect_silent_success "IP $refused"
        expect_value "$view" 0A0000070101 "IP $refused (refused)"
    done
    # Lower-case letters are no marker; a marker with nothing after it writes nothing.
    run_tool ip 1.2.3.4
    expect_silent_success "ip 1.2.3.4"
    expect_value "$view" 0A0000070101 "ip 1.2.3.4 (no marker)"
    run_tool IP
    expect_silent_success "IP alone"
    expect_value "$view" 0A0000070101 "IP alone"
    run_tool IP 192.168.0.10
    expect_value "$view" C0A8000A0101 "IP 192.168.0.10 again"
}

if [ "$bits" = 32 ]; then
    own=32
    other=64
elif [ "$bits" = 64 ]; then
    own=64
    other=32
else
    echo "e2e.sh: bitness must be 32 or 64, not '$bits'" >&2
    exit 2
fi
if [ "$bits" = 32 ] && [ -n "$NETID_WIN32_SKIP" ]; then
    echo "e2e.sh: the 32-bit tool is not run: $NETID_WIN32_SKIP" >&2
    exit 1
fi

# A 64-bit prefix, as a 64-bit Windows.
new_prefix win64 win64

# 1. Without the runtime's key nothing is created.
run_tool IP 192.168.0.10
expect_silent_success "missing key"
for view in 32 64; do
    if key_exists "$view" 'HKLM\Software\Zadizovi'; then
        fail "missing key: the tool created HKLM\\Software\\Zadizovi (/reg:$view)"
    else
        pass
    fi
done

# 2. The key in the tool's own view.
if ! "$NETID_WINE" reg add "$key" /f "/reg:$own" >/dev/null 2>&1 </dev/null; then
    fail "reg add $key /reg:$own"
fi
write_cases "$own"
# The other view has no such key and got none.
if key_exists "$other" 'HKLM\Software\Zadizovi'; then
    fail "the $bits-bit tool wrote into the $other-bit registry view"
else
    pass
fi

# 3. The key only in the other view: the tool does not see it and writes nothing.
"$NETID_WINE" reg delete 'HKLM\Software\Zadizovi' /f "/reg:$own" >/dev/null 2>&1 </dev/null ||
    fail "reg delete /reg:$own"
"$NETID_WINE" reg add "$key" /f "/reg:$other" >/dev/null 2>&1 </dev/null ||
    fail "reg add $key /reg:$other"
run_tool IP 192.168.0.10
expect_silent_success "key only in the other view"
if [ -n "$(query_value "$other")" ]; then
    fail "the $bits-bit tool wrote into the $other-bit view"
else
    pass
fi
if key_exists "$own" 'HKLM\Software\Zadizovi'; then
    fail "key only in the other view: the tool created the key in its own view"
else
    pass
fi

# 4. The 32-bit tool on a 32-bit Windows: one view only.
if [ "$bits" = 32 ]; then
    new_prefix win32 win32
    run_tool IP 192.168.0.10
    expect_silent_success "missing key (32-bit prefix)"
    if key_exists 32 'HKLM\Software\Zadizovi'; then
        fail "missing key (32-bit prefix): key created"
    else
        pass
    fi
    "$NETID_WINE" reg add "$key" /f >/dev/null 2>&1 </dev/null || fail "reg add $key (32-bit prefix)"
    write_cases 32
fi

echo "e2e ($bits-bit tool): $checks checks passed, $failures failed"
[ "$failures" -eq 0 ]
