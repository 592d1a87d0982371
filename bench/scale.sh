#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# What a hive's size costs a program on the Linux store: for each size, a
# fresh store with HKLM\Software\Scale of that many keys (bench/scale/scale.cpp
# says how they are laid out), then, each in new processes:
#   first call   open + query + close of one key, the median of 11 processes
#   RSS, peak    that process's resident and peak memory
#   setnetid     a whole run of setnetid against /bin/true, median of 21 pairs
#   enum 1,000   enumerating one key's 1,000 sub-keys
#   save 100k    RegSaveKeyA of a subtree of at most 100,000 keys
#   delete 10k   deleting a tree of 10,010 keys
#   store        the size of the store's files
# The line "empty" is the same process on a store without the keys.
# For sizes of 100,000 keys and more, a second table: the whole of
# Software\Scale saved (RegSaveKeyA) to a Windows hive file, which is then
#   load         RegLoadKeyA of it as HKU\NetidScale, timed in the process
#   first beneath  a new process's open + query + close of a key in it, the
#                median of 11 processes, with their resident and peak memory
#   unload       RegUnLoadKeyA, which leaves the store as it was
# Loading needs the restore privilege: run it as root.
#   bench/scale.sh BUILD_DIR [SIZE...]      default sizes: 10000 100000
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"

build=${1:?usage: scale.sh BUILD_DIR [SIZE...]}
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000)
scale=$build/bench/scale/netid_scale
setnetid=$build/app/setnetid
for program in "$scale" "$setnetid"; do
    [ -x "$program" ] || { echo "scale.sh: $program not found: build it first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/netid-scale.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The median of a field of 11 runs of `netid_scale first` (or of the verb given).
first_field() {
    local field=$1 verb=${2:-first} i
    for ((i = 0; i < 11; i++)); do "$scale" "$verb"; done |
        awk -v f="$field" '{ print $f }' | netid_median
}
setnetid_ratio() {
    local i
    for ((i = 0; i < 21; i++)); do
        netid_time_run /bin/true; local t=$netid_elapsed_us
        netid_time_run "$setnetid" IP 192.168.0.10
        echo "$t $netid_elapsed_us"
    done | netid_median_ratio
}

loaded=()
printf '%-10s %10s %9s %9s %11s %10s %10s %11s %10s %9s\n' keys build first RSS peak setnetid "enum 1k" "save 100k" "delete 10k" store
for size in 0 "${sizes[@]}"; do
    export NETID_REGISTRY_DIR=$work/store-$size
    mkdir -p "$NETID_REGISTRY_DIR"
    built=$("$scale" build "$size" | cut -d' ' -f1)
    first=$(first_field 1)
    rss=$(first_field 4)
    peak=$(first_field 7)
    ratio=$(setnetid_ratio)
    enum=$( [ "$size" -ge 1000 ] && "$scale" enum | cut -d' ' -f1 || echo -)
    save=$( [ "$size" -ge 1000 ] && "$scale" save "$work/save-$size.hive" | cut -d' ' -f1 || echo -)
    # The hive to load is saved before the tree delete removes keys from it.
    [ "$size" -ge 100000 ] && "$scale" save "$work/save-all-$size.hive" all >/dev/null
    del=$( [ "$size" -ge 10000 ] && "$scale" deltree | cut -d' ' -f1 || echo -)
    bytes=$(du -sb "$NETID_REGISTRY_DIR" | cut -f1)
    printf '%-10s %8sms %7sus %6sKiB %8sKiB %10sx %8sus %8sus %9sus %8sMB\n' \
        "$([ "$size" = 0 ] && echo empty || echo "$size")" "$((built / 1000))" "$first" "$rss" "$peak" "$ratio" \
        "$enum" "$save" "$del" "$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1e6 }')"
    if [ "$size" -ge 100000 ]; then
        hive=$work/save-all-$size.hive
        hive_bytes=$(stat -c %s "$hive")
        load=$("$scale" load "$hive" | cut -d' ' -f1)
        beneath=$(first_field 1 beneath)
        beneath_rss=$(first_field 4 beneath)
        beneath_peak=$(first_field 7 beneath)
        unload=$("$scale" unload | cut -d' ' -f1)
        loaded+=("$(printf '%-10s %8sMB %8sms %11sus %6sKiB %8sKiB %8sms' "$size" \
            "$(awk -v b="$hive_bytes" 'BEGIN { printf "%.1f", b / 1e6 }')" "$((load / 1000))" \
            "$beneath" "$beneath_rss" "$beneath_peak" "$((unload / 1000))")")
    fi
    rm -rf "$NETID_REGISTRY_DIR" "$work"/save-*
done
if [ ${#loaded[@]} -gt 0 ]; then
    printf '\n%-10s %10s %10s %13s %9s %11s %10s\n' keys "hive file" load "first beneath" RSS peak unload
    printf '%s\n' "${loaded[@]}"
fi
echo "load: $(uptime)"
