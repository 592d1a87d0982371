#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks the programs of a Windows cross build as files, without running them,
# so that it holds on hosts where Wine cannot run them:
#   pe-check.sh BUILD_DIR i386|amd64
# - every program of the build (app/, tools/, tests/) is a PE for that machine
#   and imports from the system's DLLs only: KERNEL32, ADVAPI32 and msvcrt (the
#   C++ runtime and the threads are linked in), and VERSION, which the test of
#   the version resource reads it with. A new system DLL goes into `system`;
# - setnetid.exe imports exactly KERNEL32, ADVAPI32 and msvcrt;
# - setnetid.exe's version resource, decompiled from the file by windres: one,
#   in German (Germany); file and product version 1,0,0,1; an application
#   without debug or pre-release flags; one string block, 040704b0, with both
#   versions and the names; the one translation 0x0407/1200.
# Prints a line for each failure and ends with "P programs: N passed, M failed".
set -eu

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR i386|amd64" >&2; exit 2; }
build=$1
case $2 in
    i386)  triple=i686-w64-mingw32 format=pei-i386 ;;
    amd64) triple=x86_64-w64-mingw32 format=pei-x86-64 ;;
    *) echo "pe-check.sh: the machine is i386 or amd64, not '$2'" >&2; exit 2 ;;
esac
system="ADVAPI32.dll KERNEL32.dll msvcrt.dll VERSION.dll"
tool_imports="ADVAPI32.dll KERNEL32.dll msvcrt.dll"

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/netid-pe-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The imported DLLs of a program, sorted, one a line.
imports() {
    "$triple-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort
}

# ------------------------------------------------------------ every program
find "$build/app" "$build/tools" "$build/tests" -name CMakeFiles -prune -o \
    -name '*.exe' -type f -print 2>/dev/null | sort >"$work/programs"
for name in setnetid.exe regctl.exe; do
    if grep -q "/$name\$" "$work/programs"; then pass; else fail "$name was not built in $build"; fi
done
while read -r program; do
    short=${program#"$build"/}
    if "$triple-objdump" -f "$program" 2>&1 | grep -q "file format $format\$"; then
        pass
    else
        fail "$short: not a $format program: $("$triple-objdump" -f "$program" 2>&1 | grep 'file format' || true)"
    fi
    foreign=$(imports "$program" | while read -r dll; do
        case " $system " in *" $dll "*) ;; *) printf ' %s' "$dll" ;; esac
    done)
    if [ -z "$foreign" ]; then pass; else fail "$short: imports from DLLs not of the system:$foreign"; fi
done <"$work/programs"

# ------------------------------------------------------------ the tool
tool=$build/app/setnetid.exe
if [ -f "$tool" ]; then
    got=$(imports "$tool" | tr '\n' ' ')
    if [ "$got" = "$tool_imports " ]; then pass; else fail "setnetid.exe imports from: $got; expected: $tool_imports"; fi

    rc=$work/version.rc
    if ! "$triple-windres" -i "$tool" -O rc -o "$rc" 2>"$work/windres.err"; then
        fail "setnetid.exe: windres cannot read its resources: $(cat "$work/windres.err")"
        : >"$rc"
    fi
    # Lines of the decompiled resource without their indentation.
    sed 's/^[[:space:]]*//' "$rc" >"$work/lines"
    # expect_count N LINE WHAT: LINE occurs N times.
    expect_count() {
        got=$(grep -cxF -- "$2" "$work/lines" || true)
        if [ "$got" -eq "$1" ]; then pass; else fail "setnetid.exe: $3: '$2' found $got times, expected $1"; fi
    }
    expect_count 1 'Name: 1.  */' "one version resource"
    expect_count 1 'LANGUAGE 7, 1' "resource language German (Germany)"
    expect_count 1 'FILEVERSION 1, 0, 0, 1' "file version"
    expect_count 1 'PRODUCTVERSION 1, 0, 0, 1' "product version"
    expect_count 1 'FILETYPE 0x1' "an application"
    flags=$(grep -E '^FILEFLAGS[[:space:]]' "$work/lines" || true)
    if [ -z "$flags" ]; then pass; else fail "setnetid.exe: flags set: $flags"; fi
    expect_count 1 'BLOCK "StringFileInfo"' "one string table"
    blocks=$(grep -E '^BLOCK "[0-9A-Fa-f]{8}"$' "$work/lines" | tr '\n' ' ')
    if [ "$blocks" = 'BLOCK "040704b0" ' ]; then pass; else fail "setnetid.exe: string blocks: ${blocks:-none}; expected 040704b0 alone"; fi
    expect_count 1 'VALUE "FileVersion", "1, 0, 0, 1"' "FileVersion string"
    expect_count 1 'VALUE "ProductVersion", "1, 0, 0, 1"' "ProductVersion string"
    expect_count 1 'VALUE "InternalName", "setnetid"' "InternalName string"
    expect_count 1 'VALUE "OriginalFilename", "setnetid.exe"' "OriginalFilename string"
    for name in CompanyName FileDescription LegalCopyright ProductName; do
        if grep -qE "^VALUE \"$name\", \"[^\"]+\"\$" "$work/lines"; then
            pass
        else
            fail "setnetid.exe: no $name string, or an empty one"
        fi
    done
    translations=$(grep -E '^VALUE "Translation"' "$work/lines" | tr '\n' ' ')
    if [ "$translations" = 'VALUE "Translation", 0x407, 1200 ' ]; then
        pass
    else
        fail "setnetid.exe: translations: ${translations:-none}; expected 0x407, 1200 alone"
    fi
fi

echo "$(($(wc -l <"$work/programs"))) programs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
