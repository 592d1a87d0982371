#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Times whole runs of setnetid against a fresh store, beside /bin/true as the
# floor of starting a process at all. The three commands run in turn, RUNS
# rounds, each run timed on its own: the medians, and the median of the
# per-round ratios of setnetid to /bin/true.
#   bench/setnetid_run.sh BUILD_DIR [RUNS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"
build=${1:?usage: setnetid_run.sh BUILD_DIR [RUNS]}
runs=${2:-200}
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
export NETID_REGISTRY_DIR=$store
"$build/tools/regctl/regctl" add 'HKLM\Software\Zadizovi\REdiVOR\System' /f >/dev/null

floor=() tool=() range=() pairs=()
for ((i = 0; i < runs; i++)); do
    netid_time_run /bin/true
    floor+=("$netid_elapsed_us")
    netid_time_run "$build/app/setnetid" IP 192.168.0.10
    tool+=("$netid_elapsed_us")
    netid_time_run "$build/app/setnetid" IP 256.0.0.1
    range+=("$netid_elapsed_us")
    pairs+=("${floor[i]} ${tool[i]}")
done

median_of() { printf '%s\n' "$@" | netid_median; }
printf '%-40s %8.0f us per run (median of %d)\n' \
    "/bin/true" "$(median_of "${floor[@]}")" "$runs" \
    "setnetid IP 192.168.0.10 (writes)" "$(median_of "${tool[@]}")" "$runs" \
    "setnetid IP 256.0.0.1 (range check)" "$(median_of "${range[@]}")" "$runs"
printf '%-40s %8.2f (median of the per-round ratios)\n' \
    "setnetid IP 192.168.0.10 / /bin/true" "$(printf '%s\n' "${pairs[@]}" | netid_median_ratio)"
"$build/tools/regctl/regctl" query 'HKLM\Software\Zadizovi\REdiVOR\System' /v AmsNetId
