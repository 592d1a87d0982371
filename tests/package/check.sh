#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs netid into a throw-away prefix and builds its Debian packages, then
# checks them as their users meet them. Nothing is installed on the machine.
#   - A separate project (tests/package/consumer) with two programs, one on
#     CRegistry and one on netid::RegKey (<netid/registry.hpp>), finds the
#     installed library through find_package and through pkg-config, builds
#     and runs; with the MinGW-w64 cross toolchain and Wine present, also as
#     Windows programs; and once more with netid's sources added by
#     add_subdirectory.
#   - The man pages format without warnings; the bash completion loads and
#     completes roots and key names from a store.
#   - cpack -G DEB builds the tools', the development and the -dbgsym
#     packages (and netid-remote where the remote module is built). Their
#     dependencies must be installable here; lintian finds no error and no
#     warning in them; they are unpacked with dpkg-deb into a throw-away root,
#     their files checked, the unpacked tools run on a store of their own and
#     the consumers built against the unpacked library.
#   - dpkg-buildpackage builds the same packages from debian/ in a copy of
#     the tree, lintian-clean too, with the same names and descriptions.
#   - As root, the tools package's scripts make the store directories in that
#     root (DPKG_ROOT) with their owners and modes; purge removes them when
#     empty, and keeps a store holding hives with a word to the administrator
#     and users/ no longer writable by all.
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
    tr -d '\r' <"$dir/output.txt" | grep -qx 'consumer: ok' || return 1
    program=$dir/netid_modern_consumer
    [ -x "$program" ] || program=$dir/netid_modern_consumer.exe
    NETID_REGISTRY_DIR=$(mktemp -d "$work/store.XXXXXX") $runner "$program" | tee "$dir/output-modern.txt"
    tr -d '\r' <"$dir/output-modern.txt" | grep -qx 'consumer: ok'
}

# ---------------------------------------------------------------- build and install
echo "=== build in $build"
# With debug information, which the packages split into -dbgsym packages.
if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DNETID_BENCH=OFF \
        >"$work/configure.log" 2>&1 ||
   ! cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1; then
    cat "$work/configure.log" "$work/build.log" | tail -40
    fail "build"
    finish
fi
prefix=$work/prefix
check "cmake --install into a staging prefix" cmake --install "$build" --prefix "$prefix"
# The libraries' directory: lib/<multiarch> where the system has one.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || true)
if [ -n "$multiarch" ]; then
    check "libraries in the multiarch directory lib/$multiarch" test "$libdir" = "lib/$multiarch"
fi
expected=(
    bin/setnetid bin/regctl
    "$libdir/libnetid-registry.a" "$libdir/libnetid-framework.a" "$libdir/libnetid-platform.a"
    include/netid/registry/registry.h include/netid/framework/afx.h include/netid/platform/win32.h
    include/netid/platform/posix/windows.h include/netid/registry.hpp
    "$libdir/cmake/netid/netid-config.cmake" "$libdir/cmake/netid/netid-config-version.cmake"
    "$libdir/cmake/netid/netid-targets.cmake" "$libdir/pkgconfig/netid.pc"
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
# The pkg-config file names the prefix installed to, as plain absolute paths.
check "pkg-config flags are absolute paths into the prefix" bash -c "
    flags=\$(PKG_CONFIG_PATH='$prefix/$libdir/pkgconfig' pkg-config --cflags --libs netid)
    echo \"\$flags\"
    [[ \$flags == *'-I$prefix/include'* ]] && [[ \$flags != *..* ]]"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" check "consumer through pkg-config (CMake)" \
    consumer "$work/consumer-pc" "" -DNETID_CONSUMER_PKGCONFIG=ON
check "consumers through pkg-config (compiler line)" bash -c "
    set -e
    flags=\$(PKG_CONFIG_PATH='$prefix/$libdir/pkgconfig' pkg-config --cflags --libs netid)
    for program in main modern; do
        c++ -std=c++17 -o '$work/consumer-plain-'\$program '$src/tests/package/consumer/'\$program.cpp \$flags
        NETID_REGISTRY_DIR=\$(mktemp -d '$work/store.XXXXXX') '$work/consumer-plain-'\$program |
            grep -qx 'consumer: ok'
    done"

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
# Roots end in their backslash (no space follows), key names come from the
# store through regctl, typed unquoted (backslashes doubled) or quoted.
check "bash completion completes roots and key names from the store" \
    bash "$src/tests/package/completion.sh" "$prefix/share/bash-completion/completions/regctl" "$prefix/bin" "$work"

# ---------------------------------------------------------------- Debian packages
if ! command -v dpkg-deb >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
    skip "Debian packages: dpkg-deb or dpkg-shlibdeps (dpkg-dev) missing"
    finish
fi
# The remote module is built only where Samba's development files are.
remote=no
if grep -q '^netid_remote:' <<<"$(ninja -C "$build" -t targets all 2>/dev/null)"; then remote=yes; fi

rm -rf "$build/packages"
check "cpack -G DEB" bash -c "cd '$build' && cpack -G DEB"
tools_deb=$(ls "$build"/packages/netid_*.deb 2>/dev/null | head -1)
dev_deb=$(ls "$build"/packages/libnetid-dev_*.deb 2>/dev/null | head -1)
dbgsym=$(ls "$build"/packages/netid-dbgsym_*.ddeb 2>/dev/null | head -1)
if [ -z "$tools_deb" ] || [ -z "$dev_deb" ]; then
    fail "both packages built (found: $(ls "$build/packages" 2>/dev/null | tr '\n' ' '))"
    finish
fi
pass "both packages built: $(basename "$tools_deb") $(basename "$dev_deb")"
check "the programs' debug symbols in netid-dbgsym, the programs stripped" bash -c "
    set -e
    [ -n '$dbgsym' ]
    dpkg-deb -c '$dbgsym' | grep -q 'usr/lib/debug/.build-id/.*\.debug'
    dpkg-deb -x '$tools_deb' '$work/stripped'
    file '$work/stripped/usr/bin/regctl' | grep -q ', stripped'"

# Each package says what it is in a summary of its own and an extended
# description whose lines are proper (no list separators joined in), and
# holds its copyright and changelog.
descriptions_ok() {
    local deb=$1 package description
    package=$(dpkg-deb -f "$deb" Package)
    description=$(dpkg-deb -f "$deb" Description)
    echo "$description"
    ! grep -q '^;\|; *$' <<<"$description" || { echo "a line of the description begins or ends with ;"; return 1; }
    [ "$(wc -l <<<"$description")" -ge 3 ] || { echo "no extended description"; return 1; }
    # The listing is taken whole first: grep -q would close the pipe early
    # and dpkg-deb fail on it.
    local contents
    contents=$(dpkg-deb -c "$deb")
    grep -q "usr/share/doc/$package/copyright\$" <<<"$contents" || { echo "no copyright"; return 1; }
    grep -q "usr/share/doc/$package/changelog.gz\$" <<<"$contents" || { echo "no changelog"; return 1; }
}
check "tools package: description, copyright, changelog" descriptions_ok "$tools_deb"
check "development package: description, copyright, changelog" descriptions_ok "$dev_deb"
check "the packages' summaries differ" test "$(dpkg-deb -f "$tools_deb" Description | head -1)" != \
    "$(dpkg-deb -f "$dev_deb" Description | head -1)"

# lintian -I --pedantic: no error and no warning (it finds no tag at all
# at present; information and pedantic tags are shown as they come).
lintian_clean() {
    local out
    out=$(lintian -I --pedantic "$@" 2>&1)
    echo "$out"
    grep '^[IPXO]: ' <<<"$out" >&3
    ! grep -q '^[EW]: ' <<<"$out"
}
exec 3>&1
if command -v lintian >/dev/null; then
    check "lintian on the cpack packages: no error, no warning" lintian_clean "$tools_deb" "$dev_deb"
else
    skip "lintian on the cpack packages: lintian is not installed"
fi

if [ "$remote" = yes ]; then
    remote_deb=$(ls "$build"/packages/netid-remote_*.deb 2>/dev/null | head -1)
    check "netid-remote package from the remote component" bash -c "
        set -e
        [ -n '$remote_deb' ]
        dpkg-deb -c '$remote_deb' | grep -q 'libnetid-remote.so'
        depends=\$(dpkg-deb -f '$remote_deb' Depends)
        echo \"\$depends\"
        grep -qw samba-libs <<<\"\$depends\" && grep -qw netid <<<\"\$depends\"
        dpkg-deb -f '$remote_deb' Description | grep -q GPL-3.0-or-later"
else
    check "no netid-remote package without the remote module" \
        bash -c "! ls '$build'/packages/netid-remote_*.deb 2>/dev/null"
    skip "netid-remote package contents: the remote module (netid_remote) is not built here"
fi

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
    usr/include/netid/registry/registry.h usr/include/netid/registry.hpp "usr/$libdir/libnetid-registry.a"
    "usr/$libdir/cmake/netid/netid-config.cmake" "usr/$libdir/pkgconfig/netid.pc"
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
check "consumers against the unpacked development package" consumer "$work/consumer-deb" "" \
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
    # A store with a user's hive: kept, with a word on standard error, and
    # users/ no longer writable by everyone; an empty one: gone.
    check "postrm purge keeps a store with hives, says so, and leaves nothing writable by all" bash -c "
        set -e
        mkdir '$unpacked/var/lib/netid/registry/users/1000'
        touch '$unpacked/var/lib/netid/registry/users/1000/hive' '$unpacked/var/lib/netid/registry/machine'
        message=\$(DPKG_ROOT='$unpacked' sh '$control/postrm' purge 2>&1 >/dev/null)
        echo \"\$message\"
        [ -e '$unpacked/var/lib/netid/registry/users/1000/hive' ] && [ -e '$unpacked/var/lib/netid/registry/machine' ]
        grep -q '/var/lib/netid' <<<\"\$message\"
        [ -z \"\$(find '$unpacked/var/lib/netid' -perm -0002 ! -type l)\" ]
        rm -r '$unpacked/var/lib/netid/registry/users/1000' '$unpacked/var/lib/netid/registry/machine'
        message=\$(DPKG_ROOT='$unpacked' sh '$control/postrm' purge 2>&1)
        [ -z \"\$message\" ] && [ ! -e '$unpacked/var/lib/netid' ]"
else
    skip "maintainer scripts: not root, so the store directories cannot be given to root"
fi

# ---------------------------------------------------------------- dpkg-buildpackage
# The same packages from debian/, built by debhelper in a copy of the tree:
# the names and summaries match CPack's, and lintian finds nothing to warn of.
if command -v dpkg-buildpackage >/dev/null && command -v dh >/dev/null; then
    tree=$work/dpkg/netid
    mkdir -p "$tree"
    if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$src" && git ls-files -z --cached --others --exclude-standard |
            xargs -0 -I{} cp --parents -P {} "$tree/" 2>/dev/null; true)
    else
        (cd "$src" && tar --exclude='./build*' --exclude=./.git -cf - .) | (cd "$tree" && tar -xf -)
    fi
    profile=()
    if [ "$remote" = no ]; then profile=(-Ppkg.netid.noremote); fi
    check "dpkg-buildpackage ${profile[*]}" bash -c "
        cd '$tree' && DEB_BUILD_OPTIONS='parallel=$jobs' dpkg-buildpackage -b -us -uc ${profile[*]} 2>&1 | tail -60
        exit \${PIPESTATUS[0]}"
    dh_tools=$(ls "$work"/dpkg/netid_*.deb 2>/dev/null | head -1)
    dh_dev=$(ls "$work"/dpkg/libnetid-dev_*.deb 2>/dev/null | head -1)
    check "dpkg-buildpackage: the packages CPack makes, with the same summaries" bash -c "
        set -e
        [ -n '$dh_tools' ] && [ -n '$dh_dev' ]
        ls '$work'/dpkg/netid-dbgsym_*.deb
        for pair in '$tools_deb $dh_tools' '$dev_deb $dh_dev'; do
            set -- \$pair
            [ \"\$(dpkg-deb -f \$1 Package Version Description)\" = \"\$(dpkg-deb -f \$2 Package Version Description)\" ]
        done"
    check "dpkg-buildpackage: the tools package holds what CPack's holds" bash -c "
        diff <(dpkg-deb -c '$tools_deb' | awk '{print \$6}' | grep -v '/\$' | sort) \
             <(dpkg-deb -c '$dh_tools' | awk '{print \$6}' | grep -v '/\$' | sort)"
    if command -v lintian >/dev/null; then
        check "lintian on the dpkg-buildpackage packages: no error, no warning" \
            lintian_clean "$(ls "$work"/dpkg/netid_*.changes | head -1)"
    fi
else
    skip "dpkg-buildpackage: dpkg-dev or debhelper is not installed"
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
