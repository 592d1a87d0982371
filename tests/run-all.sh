#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and tests every configuration of the project, one after the other,
# then runs the extra checks:
#   linux           native build (Release), ctest
#   linux-sanitize  native build (Debug, AddressSanitizer + UBSan), ctest
#   win32           MinGW-w64 i686 cross build (Release): its programs checked
#                   as files (tests/wine/pe-check.sh), then ctest under Wine
#   win64           MinGW-w64 x86_64 cross build (Release): the same
#
#   tests/run-all.sh [NAME...]   configurations and checks by name; default:
#                                the four configurations in this order, then
#                                every check (package: the installation and
#                                Debian packages, tests/package/check.sh)
#
# Wine: cmake/wine-env.sh finds out once whether this host executes 32-bit x86
# code. Where it does not, win32 is still built and its programs checked as
# files, and its runs under Wine are reported as skipped, with the reason, in
# its summary line.
#
# Environment: NETID_BUILD_ROOT  where the build trees go (default: build/ in
#              the source tree, one sub-directory per configuration)
#              NETID_JOBS        parallel build and test jobs (default 2)
#              NETID_HOST_RUNS_I386=no  act as a host that cannot execute
#                                32-bit x86 code (see cmake/wine-env.sh)
# Everything runs even when an earlier part failed; the exit status is
# non-zero when any build, test or check failed. The last lines sum up each
# part with the seconds it took.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${NETID_BUILD_ROOT:-$src/build}
jobs=${NETID_JOBS:-2}
export NETID_BUILD_ROOT=$root NETID_JOBS=$jobs

all_configs=(linux linux-sanitize win32 win64)

# Extra checks, run after the configurations: "NAME COMMAND [ARGS...]", the
# command relative to the source tree, run there with NETID_BUILD_ROOT and
# NETID_JOBS set. Its exit status counts; its last line of output is its
# summary line. Add one line per check.
checks=(
    "package tests/package/check.sh"
)

cmake_args() {
    case $1 in
        linux)          echo "-DCMAKE_BUILD_TYPE=Release" ;;
        linux-sanitize) echo "-DCMAKE_BUILD_TYPE=Debug -DNETID_SANITIZE=ON -DNETID_BENCH=OFF" ;;
        win32)          echo "-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$src/cmake/mingw-w64-i686.cmake" ;;
        win64)          echo "-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$src/cmake/mingw-w64-x86_64.cmake" ;;
        *) return 1 ;;
    esac
}

# The machine a Windows configuration's programs are built for; none for Linux.
pe_machine() {
    case $1 in
        win32) echo i386 ;;
        win64) echo amd64 ;;
    esac
}

check_command() {
    local entry
    for entry in "${checks[@]}"; do
        if [ "${entry%% *}" = "$1" ]; then
            echo "${entry#* }"
            return 0
        fi
    done
    return 1
}

configs=()
selected_checks=()
if [ $# -eq 0 ]; then
    configs=("${all_configs[@]}")
    for entry in "${checks[@]}"; do
        selected_checks+=("${entry%% *}")
    done
fi
for name in "$@"; do
    if cmake_args "$name" >/dev/null; then
        configs+=("$name")
    elif check_command "$name" >/dev/null; then
        selected_checks+=("$name")
    else
        known=("${all_configs[@]}")
        for entry in "${checks[@]}"; do
            known+=("${entry%% *}")
        done
        echo "run-all.sh: unknown configuration or check '$name' (known: ${known[*]})" >&2
        exit 2
    fi
done

# Which Wine loader, and whether 32-bit Windows programs run here: found out
# once, for every script below.
# shellcheck source=../cmake/wine-env.sh
. "$src/cmake/wine-env.sh"
echo "=== Host executes 32-bit x86 code: $NETID_HOST_RUNS_I386 (Wine loader: $NETID_WINE)"

summary=()
failed=0

# run_config CONFIG: configure, build and test one configuration; adds its summary line.
run_config() {
    local config=$1 dir=$root/$1 args start log status line machine
    local parts=()
    args=$(cmake_args "$config")
    echo
    echo "=== $config: configure and build in $dir"
    start=$SECONDS
    # shellcheck disable=SC2086 # the arguments are split on purpose
    if ! cmake -S "$src" -B "$dir" -G Ninja $args ||
       ! cmake --build "$dir" -j "$jobs"; then
        summary+=("$config: BUILD FAILED ($((SECONDS - start)) s)")
        failed=1
        return
    fi
    machine=$(pe_machine "$config")
    if [ -n "$machine" ]; then
        echo "=== $config: the programs checked as files"
        log=$dir/pe-check-output.txt
        status=0
        "$src/tests/wine/pe-check.sh" "$dir" "$machine" 2>&1 | tee "$log" || status=$?
        line=$(tail -1 "$log")
        [ "$status" -eq 0 ] || failed=1
        parts+=("checked as files, ${line:-no output, status $status}")
    fi
    if [ "$config" = win32 ] && [ -n "$NETID_WIN32_SKIP" ]; then
        echo "=== $config: test under Wine SKIPPED: $NETID_WIN32_SKIP"
        parts=("Wine runs SKIPPED ($NETID_WIN32_SKIP), built" "${parts[@]}")
    else
        echo "=== $config: test"
        log=$dir/ctest-output.txt
        status=0
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1 | tee "$log" || status=$?
        line=$(grep -E "tests passed|No tests were found" "$log" | tail -1 || true)
        [ -n "$line" ] || line="ctest ended with status $status"
        [ "$status" -eq 0 ] || failed=1
        parts=("$line" "${parts[@]}")
    fi
    local joined
    joined=$(printf '%s; ' "${parts[@]}")
    summary+=("$config: ${joined%; } ($((SECONDS - start)) s)")
}

# run_check NAME: runs one extra check; adds its summary line.
run_check() {
    local name=$1 command start log status line
    command=$(check_command "$name")
    echo
    echo "=== check $name: $command"
    start=$SECONDS
    log=$root/check-$name-output.txt
    mkdir -p "$root"
    status=0
    # shellcheck disable=SC2086 # the command line is split on purpose
    (cd "$src" && $command) 2>&1 | tee "$log" || status=$?
    line=$(tail -1 "$log")
    if [ "$status" -ne 0 ]; then
        failed=1
        line="FAILED (status $status)${line:+: $line}"
    fi
    summary+=("$name: $line ($((SECONDS - start)) s)")
}

for config in "${configs[@]}"; do
    run_config "$config"
done
for name in "${selected_checks[@]}"; do
    run_check "$name"
done

echo
echo "=== Summary (host executes 32-bit x86 code: $NETID_HOST_RUNS_I386)"
for line in "${summary[@]}"; do
    echo "$line"
done
exit "$failed"
