#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# How the Linux store grows with use, and what its history costs a new
# process: a fresh store, then 10,000 runs of setnetid (each one process that
# makes one write), then 8 processes writing at once (the set of the
# comparison program, tens of thousands of calls each). After each stage:
# the size of the store's files, and the first registry call of a new process
# (regctl reading the Net ID) beside the same on the fresh store.
#   bench/growth.sh BUILD_DIR [RUNS]
# RUNS: how many setnetid runs (default 10000).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"

build=${1:?usage: growth.sh BUILD_DIR [RUNS]}
runs=${2:-10000}
setnetid=$build/app/setnetid
regctl=$build/tools/regctl/regctl
compare=$build/bench/compare/netid_compare
for program in "$setnetid" "$regctl" "$compare"; do
    [ -x "$program" ] || { echo "growth.sh: $program not found: build it first" >&2; exit 2; }
done

store=$(mktemp -d "${TMPDIR:-/tmp}/netid-growth.XXXXXX")
trap 'rm -rf "$store"' EXIT
export NETID_REGISTRY_DIR=$store
key='HKLM\Software\Zadizovi\REdiVOR\System'
"$regctl" add "$key" /v AmsNetId /t REG_BINARY /d C0A8000A0101 /f >/dev/null

# The median time of a new process's first registry call (regctl reading one
# value), over 101 runs.
first_call() {
    local i
    for ((i = 0; i < 101; i++)); do
        netid_time_run "$regctl" query "$key" /v AmsNetId
        echo "$netid_elapsed_us"
    done | netid_median
}
files() { du -sb "$store" | cut -f1; }

fresh=$(first_call)
printf '%-44s %10s %12s %10s\n' "stage" "files" "first call" "vs fresh"
printf '%-44s %8s B %9s us %10s\n' "fresh store" "$(files)" "$fresh" "1.00"

for ((i = 0; i < runs; i++)); do
    "$setnetid" IP "192.168.$((i / 256 % 256)).$((i % 256))"
done
after=$(first_call)
printf '%-44s %8s B %9s us %10.2f\n' "after $runs runs of setnetid" "$(files)" "$after" \
    "$(awk -v a="$after" -v f="$fresh" 'BEGIN { print a / f }')"

pids=()
for w in 1 2 3 4 5 6 7 8; do
    "$compare" --only set_open_handle --batches 7 >/dev/null &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
after=$(first_call)
printf '%-44s %8s B %9s us %10.2f\n' "after 8 writers at once" "$(files)" "$after" \
    "$(awk -v a="$after" -v f="$fresh" 'BEGIN { print a / f }')"
echo "load: $(uptime)"
