#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Our registry against Wine's, side by side: the one program of plain Win32
# calls (bench/compare/) built for Linux and for 64-bit Windows, run in turn
# PAIRS times each: ours against a fresh store, the Windows build under Wine
# in a fresh prefix with a warm, persistent wineserver. Prints the table of
# the medians and of the median per-pair ratio (Wine's time / ours: above 1
# means we are faster) against the targets, the whole run of setnetid beside
# /bin/true (bench/setnetid_run.sh), and the machine's load before and after.
#   bench/compare.sh BUILD_LINUX BUILD_WIN64 [PAIRS]
# Environment: NETID_COMPARE_ARGS  further arguments of both programs (e.g.
#                                  "--batches 9 --min-batch-ms 100")
#              NETID_WHOLE_RUNS    rounds of the whole-run timing (default 200)
# Before any timing both builds run --check against the same expected lines
# (bench/compare/check.sh); this is also the untimed warm-up run of each.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(dirname "$here")
. "$here/lib.sh"

usage="usage: compare.sh BUILD_LINUX BUILD_WIN64 [PAIRS]"
linux_build=${1:?$usage}
win_build=${2:?$usage}
pairs=${3:-5}
[ "$pairs" -ge 1 ] 2>/dev/null || { echo "$usage" >&2; exit 2; }
ours=$linux_build/bench/compare/netid_compare
theirs=$win_build/bench/compare/netid_compare.exe
for program in "$ours" "$theirs" "$linux_build/app/setnetid"; do
    [ -f "$program" ] || { echo "compare.sh: $program not found: build it first" >&2; exit 2; }
done
read -r -a extra_args <<<"${NETID_COMPARE_ARGS:-}"

# The Wine loader and server: the project's one choice where it is made.
NETID_WINE=wine
NETID_WINESERVER=wineserver
if [ -f "$src/cmake/wine-env.sh" ]; then
    . "$src/cmake/wine-env.sh"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/netid-compare.XXXXXX")
export NETID_REGISTRY_DIR=$work/store
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
cleanup() {
    "$NETID_WINESERVER" -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

load_before=$(uptime)
echo "compare.sh: a fresh Wine prefix in $WINEPREFIX" >&2
"$src/cmake/wine-prefix.sh" fresh "$WINEPREFIX"
"$NETID_WINESERVER" -p

echo "compare.sh: both builds compute the same results (and warm up)" >&2
"$here/compare/check.sh" "$here/compare/check.expected" "$ours" >&2
"$here/compare/check.sh" "$here/compare/check.expected" "$NETID_WINE" "$theirs" >&2

for ((i = 1; i <= pairs; i++)); do
    echo "compare.sh: pair $i of $pairs: ours" >&2
    "$ours" "${extra_args[@]}" >"$work/ours.$i"
    echo "compare.sh: pair $i of $pairs: Wine" >&2
    "$NETID_WINE" "$theirs" "${extra_args[@]}" | tr -d '\r' >"$work/wine.$i"
done

echo "compare.sh: whole runs of setnetid" >&2
"$here/setnetid_run.sh" "$linux_build" "${NETID_WHOLE_RUNS:-200}" >"$work/whole"
load_after=$(uptime)

# A time in microseconds as the table shows it.
format_time() {
    awk -v us="$1" 'BEGIN {
        if (us >= 1e6) printf "%.3g s", us / 1e6
        else if (us >= 1e3) printf "%.3g ms", us / 1e3
        else printf "%.3g µs", us
    }'
}

# The microseconds per operation that one run's output gives OPERATION.
time_of() {
    awk -v op="$1" '$1 == op { print $2; found = 1 } END { exit !found }' "$2" ||
        { echo "compare.sh: no time for $1 in $2" >&2; exit 1; }
}

echo
echo "| operation | ours (median) | Wine (median) | ratio (Wine / ours) | target | met |"
echo "|---|---|---|---|---|---|"
row() {
    local name=$1 label=$2 target=$3 i ours_time wine_time ours_median wine_median ratio met
    : >"$work/pairs.$name"
    for ((i = 1; i <= pairs; i++)); do
        ours_time=$(time_of "$name" "$work/ours.$i")
        wine_time=$(time_of "$name" "$work/wine.$i")
        echo "$ours_time $wine_time" >>"$work/pairs.$name"
    done
    ours_median=$(awk '{ print $1 }' "$work/pairs.$name" | netid_median)
    wine_median=$(awk '{ print $2 }' "$work/pairs.$name" | netid_median)
    ratio=$(netid_median_ratio <"$work/pairs.$name")
    met=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r >= t ? "yes" : "no") }')
    printf '| %s | %s | %s | %.2f | ≥ %s | %s |\n' "$label" "$(format_time "$ours_median")" \
        "$(format_time "$wine_median")" "$ratio" "$target" "$met"
}
row query_open_handle "query 6 bytes on an open handle" 10
row open_query_close "open + query + close" 10
row enumerate_1000_subkeys "enumerate 1,000 sub-keys" 10
row set_open_handle "set 6 bytes on an open handle" 2
row create_close "create + close a new key" 2
row delete_tree_2000 "delete a 2,000-key tree (enumerate index 0, recurse, RegDeleteKeyA)" 5
whole=$(awk -F'  +' '/^setnetid IP 192.168.0.10 \/ \/bin\/true/ { print $2 + 0 }' "$work/whole")
[ -n "$whole" ] || { echo "compare.sh: no ratio in the whole-run timing" >&2; cat "$work/whole" >&2; exit 1; }
# shellcheck disable=SC2016 # the back-quotes are the table's own
printf '| whole `setnetid IP 192.168.0.10` | %.2f × `/bin/true` | | | %s | %s |\n' \
    "$whole" '≤ 2 × `/bin/true`' "$(awk -v r="$whole" 'BEGIN { print (r <= 2 ? "yes" : "no") }')"
echo
echo "Medians of $pairs alternating runs of each build; within a run, each time is"
echo "the median of its batches."
[ "$pairs" -ge 5 ] || echo "Fewer than 5 pairs: too few for a verdict on the targets."
echo "Whole runs (median of ${NETID_WHOLE_RUNS:-200} rounds):"
grep -v '^$' "$work/whole" | head -4 | sed 's/^/    /'
echo "Wine: $("$NETID_WINE" --version 2>/dev/null || echo unknown), loader $NETID_WINE"
echo "Load before: $load_before"
echo "Load after:  $load_after"
