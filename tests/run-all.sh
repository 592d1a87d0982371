#!/usr/bin/env bash
# Builds and tests every configuration of the project, one after the other:
#   linux           native build (Release), ctest
#   linux-sanitize  native build (Debug, AddressSanitizer + UBSan), ctest
#   win32           MinGW-w64 i686 cross build (Release), ctest under Wine
#   win64           MinGW-w64 x86_64 cross build (Release), ctest under Wine
#
#   tests/run-all.sh [CONFIG...]        default: all four, in this order, then
#                                       the installation and packages (tests/package/check.sh)
#
# Environment: NETID_BUILD_ROOT  where the build trees go (default: build/ in
#              the source tree, one sub-directory per configuration)
#              NETID_JOBS        parallel build and test jobs (default 2)
# Every configuration runs even when an earlier one failed; the exit status
# is non-zero when any build or test failed. The last lines sum up each one.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${NETID_BUILD_ROOT:-$src/build}
jobs=${NETID_JOBS:-2}

all_configs=(linux linux-sanitize win32 win64)
if [ $# -gt 0 ]; then
    configs=("$@")
else
    configs=("${all_configs[@]}")
fi

cmake_args() {
    case $1 in
        linux)          echo "-DCMAKE_BUILD_TYPE=Release" ;;
        linux-sanitize) echo "-DCMAKE_BUILD_TYPE=Debug -DNETID_SANITIZE=ON -DNETID_BENCH=OFF" ;;
        win32)          echo "-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$src/cmake/mingw-w64-i686.cmake" ;;
        win64)          echo "-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$src/cmake/mingw-w64-x86_64.cmake" ;;
        *) return 1 ;;
    esac
}

summary=()
failed=0
for config in "${configs[@]}"; do
    if ! args=$(cmake_args "$config"); then
        echo "run-all.sh: unknown configuration '$config' (known: ${all_configs[*]})" >&2
        exit 2
    fi
    dir=$root/$config
    echo
    echo "=== $config: configure and build in $dir"
    start=$SECONDS
    # shellcheck disable=SC2086 # the arguments are split on purpose
    if ! cmake -S "$src" -B "$dir" -G Ninja $args ||
       ! cmake --build "$dir" -j "$jobs"; then
        summary+=("$config: BUILD FAILED")
        failed=1
        continue
    fi
    echo "=== $config: test"
    log=$dir/ctest-output.txt
    status=0
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1 | tee "$log" || status=$?
    line=$(grep -E "tests passed|No tests were found" "$log" | tail -1 || true)
    [ -n "$line" ] || line="ctest ended with status $status"
    summary+=("$config: $line ($((SECONDS - start)) s)")
    [ "$status" -eq 0 ] || failed=1
done

# ---- installation and Debian packages (tests/package/check.sh), with every configuration
if [ $# -eq 0 ]; then
    echo
    echo "=== package: install, consumer project, Debian packages"
    log=$root/package-check.txt
    mkdir -p "$root"
    status=0
    NETID_BUILD_ROOT=$root NETID_JOBS=$jobs "$src/tests/package/check.sh" 2>&1 | tee "$log" || status=$?
    line=$(grep -E '^package: [0-9]+ passed' "$log" | tail -1 || true)
    summary+=("${line:-package: check.sh ended with status $status}")
    [ "$status" -eq 0 ] || failed=1
fi

echo
echo "=== Summary"
for line in "${summary[@]}"; do
    echo "$line"
done
exit "$failed"
