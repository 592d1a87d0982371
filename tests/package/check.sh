#!/usr/bin/env bash
# Installs netid into a throw-away prefix and builds its Debian packages, then
# checks them as their users meet them. Nothing is installed on the machine.
#   - A separate project (tests/package/consumer) finds the installed library
#     through find_package and through pkg-config, builds and runs; with the
#     MinGW-w64 cross toolchain and Wine present, also as a Windows program;
#     and once more with netid's sources added by add_subdirectory.
#   - The man pages format without warnings; the bash completion loads.
#   - cpack -G DEB builds the tools' and the development package. Their
#     dependencies must be installable here; they are unpacked with dpkg-deb
#     into a throw-away root, their files checked, the unpacked tools run on a
#     store of their own and the consumer built against the unpacked library.
#   - As root, the tools package's scripts make the store directories in that
#     root (DPKG_ROOT) with their owners and modes, and remove them on purge.
#
#   tests/package/check.sh
#
# Environment: NETID_BUILD_ROOT (default: build/ in the source tree; the
# builds go to package/ and package-win-<arch>/ in it), NETID_JOBS (default 2).
# The last line sums up: "N passed, N failed"; the status is non-zero
# when anything failed.
set -uo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
root=${NETID_BUILD_ROOT:-$src/build}
jobs=${NETID_JOBS:-2}
build=$root/package
work=$(mktemp -d "${TMPDIR:-/tmp}/netid-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }
skip() { echo "SKIP: $1"; }
# check NAME COMMAND...: passes when the command succeeds; its output is shown
# when it does not.
check() {
    local name=$1
    shift
    local log=$work/last.log
    if "$@" >"$log" 2>&1; then
        pass "$name"
    else
        fail "$name"
        sed 's/^/    /' "$log" | tail -40
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

# Builds the consumer in DIR with the extra cmake arguments and runs it with
# RUNNER (empty: directly) on a fresh store.
consumer() {
    local dir=$1 runner=$2
    shift 2
    cmake -S "$src/tests/package/consumer" -B "$dir" -G Ninja "$@" || return 1
    cmake --build "$dir" || return 1
    local program=$dir/netid_consumer
    [ -x "$program" ] || program=$dir/netid_consumer.exe
    NETID_REGISTRY_DIR=$(mktemp -d "$work/store.XXXXXX") $runner "$program" | tee "$dir/output.txt"
    tr -d '\r' <"$dir/output.txt" | grep -qx 'consumer: ok'
}

# ---------------------------------------------------------------- build and install
echo "=== build in $build"
if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DNETID_BENCH=OFF \
        >"$work/configure.log" 2>&1 ||
   ! cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1; then
    cat "$work/configure.log" "$work/build.log" | tail -40
    fail "build"
    finish
fi
prefix=$work/prefix
check "cmake --install into a staging prefix" cmake --install "$build" --prefix "$prefix"
expected=(
    bin/setnetid bin/regctl
    lib/libnetid-registry.a lib/libnetid-framework.a lib/libnetid-platform.a
    include/netid/registry/registry.h include/netid/framework/afx.h include/netid/platform/win32.h
    include/netid/platform/posix/windows.h
    lib/cmake/netid/netid-config.cmake lib/cmake/netid/netid-config-version.cmake
    lib/cmake/netid/netid-targets.cmake lib/pkgconfig/netid.pc
    share/man/man1/setnetid.1.gz share/man/man1/regctl.1.gz
    share/bash-completion/completions/regctl lib/tmpfiles.d/netid.conf
)
missing=()
for file in "${expected[@]}"; do
    [ -e "$prefix/$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -eq 0 ]; then pass "installed files"; else fail "installed files: missing ${missing[*]}"; fi

# ---------------------------------------------------------------- consumers
check "consumer through find_package" consumer "$work/consumer-cmake" "" -DCMAKE_PREFIX_PATH="$prefix"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" check "consumer through pkg-config (CMake)" \
    consumer "$work/consumer-pc" "" -DNETID_CONSUMER_PKGCONFIG=ON
check "consumer through pkg-config (compiler line)" bash -c "
    set -e
    flags=\$(PKG_CONFIG_PATH='$prefix/lib/pkgconfig' pkg-config --cflags --libs netid)
    c++ -std=c++17 -o '$work/consumer-plain' '$src/tests/package/consumer/main.cpp' \$flags
    NETID_REGISTRY_DIR=\$(mktemp -d '$work/store.XXXXXX') '$work/consumer-plain' | grep -qx 'consumer: ok'"

check "consumer with netid's sources added (add_subdirectory)" consumer "$work/consumer-subdir" "" \
    -DNETID_CONSUMER_SOURCE_DIR="$src" -DBUILD_TESTING=OFF -DNETID_BENCH=OFF -DCMAKE_BUILD_TYPE=Release

# ---------------------------------------------------------------- documentation
for page in setnetid regctl; do
    if ! command -v groff >/dev/null; then
        skip "man page $page: groff (Debian groff-base) is not installed"
        continue
    fi
    check "man page $page formats without warnings" bash -c "
        out=\$(zcat '$prefix/share/man/man1/$page.1.gz' | groff -man -ww -Tutf8 2>&1 >/dev/null)
        [ -z \"\$out\" ] || { echo \"\$out\"; exit 1; }
        zcat '$prefix/share/man/man1/$page.1.gz' | groff -man -Tutf8 -P-cbou 2>/dev/null | grep -q NAME"
done
check "bash completion loads and completes operations" bash -c "
    complete() { builtin complete \"\$@\"; }
    source '$prefix/share/bash-completion/completions/regctl'
    COMP_WORDS=(regctl ex); COMP_CWORD=1; _regctl
    [ \"\${COMPREPLY[*]}\" = export ]"

# ---------------------------------------------------------------- Debian packages
if ! command -v dpkg-deb >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
    skip "Debian packages: dpkg-deb or dpkg-shlibdeps (dpkg-dev) missing"
    finish
fi
check "cpack -G DEB" bash -c "cd '$build' && cpack -G DEB"
tools_deb=$(ls "$build"/packages/netid_*.deb 2>/dev/null | head -1)
dev_deb=$(ls "$build"/packages/libnetid-dev_*.deb 2>/dev/null | head -1)
if [ -z "$tools_deb" ] || [ -z "$dev_deb" ]; then
    fail "both packages built (found: $(ls "$build/packages" 2>/dev/null | tr '\n' ' '))"
    finish
fi
pass "both packages built: $(basename "$tools_deb") $(basename "$dev_deb")"

# The dependencies name every package of WANT and none of SHUNNED, and each
# names a package this Debian knows and that is installed here.
depends_ok() {
    local deb=$1 want=$2 shunned=$3 field
    field=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $field"
    for package in $want; do
        grep -qw -- "$package" <<<"$field" || { echo "missing $package"; return 1; }
    done
    for package in $shunned; do
        ! grep -qw -- "$package" <<<"$field" || { echo "needless $package"; return 1; }
    done
    local item
    while read -r item; do
        item=${item%% *}
        [ -n "$item" ] || continue
        dpkg-query -W -f='${Status}\n' "$item" 2>/dev/null | grep -q 'install ok installed' ||
            { echo "not installable here: $item"; return 1; }
    done < <(tr ',|' '\n\n' <<<"$field" | sed 's/^ *//')
}
# The tools carry their C++ runtime and the store needs no library: the C
# library is all they ask for.
check "tools package dependencies (from dpkg-shlibdeps)" depends_ok "$tools_deb" "libc6" \
    "libstdc++6 libgcc-s1 libsqlite3-0 libhivex0 libicu72"
check "development package dependencies" depends_ok "$dev_deb" "" "libsqlite3-dev libhivex-dev libicu-dev"

unpacked=$work/root
mkdir -p "$unpacked"
dpkg-deb -x "$tools_deb" "$unpacked" && dpkg-deb -x "$dev_deb" "$unpacked"
packaged=(
    usr/bin/setnetid usr/bin/regctl usr/share/man/man1/setnetid.1.gz usr/share/man/man1/regctl.1.gz
    usr/share/bash-completion/completions/regctl usr/lib/tmpfiles.d/netid.conf
    usr/include/netid/registry/registry.h usr/lib/libnetid-registry.a usr/lib/cmake/netid/netid-config.cmake
    usr/lib/pkgconfig/netid.pc
)
missing=()
for file in "${packaged[@]}"; do
    [ -e "$unpacked/$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -eq 0 ]; then pass "packaged files"; else fail "packaged files: missing ${missing[*]}"; fi
check "the tools package holds no development files" bash -c \
    "! dpkg-deb -c '$tools_deb' | grep -E 'include/|\\.a\$|cmake/|pkgconfig/'"

check "unpacked setnetid and regctl work on a store of their own" bash -c "
    set -e
    export NETID_REGISTRY_DIR=\$(mktemp -d '$work/store.XXXXXX')
    key='HKLM\\Software\\Zadizovi\\REdiVOR\\System'
    '$unpacked/usr/bin/regctl' add \"\$key\" /f >/dev/null
    '$unpacked/usr/bin/setnetid' IP 192.168.0.10
    '$unpacked/usr/bin/regctl' query \"\$key\" /v AmsNetId | grep -q 'AmsNetId    REG_BINARY    C0A8000A0101'
    '$unpacked/usr/bin/regctl' --version | grep -q '^regctl (netid) '"
check "consumer against the unpacked development package" consumer "$work/consumer-deb" "" \
    -DCMAKE_PREFIX_PATH="$unpacked/usr"

# The maintainer scripts, run on the throw-away root as dpkg --root would.
if [ "$(id -u)" -eq 0 ]; then
    control=$work/control
    dpkg-deb -e "$tools_deb" "$control"
    check "postinst makes the store directories with their owners and modes" bash -c "
        set -e
        DPKG_ROOT='$unpacked' sh '$control/postinst' configure
        [ \"\$(stat -c '%a %U %G' '$unpacked/var/lib/netid/registry')\" = '755 root root' ]
        [ \"\$(stat -c '%a %U %G' '$unpacked/var/lib/netid/registry/users')\" = '1777 root root' ]
        DPKG_ROOT='$unpacked' sh '$control/postinst' configure"
    check "postrm purge removes empty store directories and keeps a store with data" bash -c "
        set -e
        touch '$unpacked/var/lib/netid/registry/data'
        DPKG_ROOT='$unpacked' sh '$control/postrm' purge
        [ -e '$unpacked/var/lib/netid/registry/data' ] && [ ! -e '$unpacked/var/lib/netid/registry/users' ]
        rm '$unpacked/var/lib/netid/registry/data'
        DPKG_ROOT='$unpacked' sh '$control/postrm' purge
        [ ! -e '$unpacked/var/lib/netid' ]"
else
    skip "maintainer scripts: not root, so the store directories cannot be given to root"
fi

# ---------------------------------------------------------------- Windows (MinGW-w64)
# The 32-bit program, as the tool ships; where this host cannot execute
# 32-bit x86 code (cmake/wine-env.sh), the 64-bit one, so that the package is
# still built and run as a Windows program.
# shellcheck source=../../cmake/wine-env.sh
. "$src/cmake/wine-env.sh"
if [ -n "$NETID_WIN32_SKIP" ]; then arch=x86_64; else arch=i686; fi
if command -v "$arch-w64-mingw32-g++-posix" >/dev/null && command -v "$NETID_WINE" >/dev/null; then
    winbuild=$root/package-win-$arch
    winprefix=$work/prefix-win-$arch
    check "MinGW ($arch) build and install" bash -c "
        set -e
        cmake -S '$src' -B '$winbuild' -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
              -DCMAKE_TOOLCHAIN_FILE='$src/cmake/mingw-w64-$arch.cmake'
        cmake --build '$winbuild' -j '$jobs'
        cmake --install '$winbuild' --prefix '$winprefix'"
    check "MinGW ($arch) consumer through find_package, run under Wine" consumer "$work/consumer-win-$arch" \
        "$src/cmake/wine-run.sh" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-$arch.cmake" \
        -Dnetid_DIR="$winprefix/lib/cmake/netid"
else
    skip "Windows consumer: no MinGW-w64 toolchain for $arch or no Wine"
fi

finish
