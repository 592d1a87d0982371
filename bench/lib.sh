# SPDX-License-Identifier: LGPL-2.1-or-later
# Helpers the benchmark scripts source: timing one run and taking medians.
# Defines functions only; runs nothing.
# shellcheck shell=bash disable=SC2034 # netid_elapsed_us is for the caller

# netid_time_run COMMAND [ARGS...]: runs the command with its output thrown
# away and leaves its wall-clock time in microseconds in $netid_elapsed_us
# (no subshell, so the time is the command's own).
netid_time_run() {
    local start end
    start=${EPOCHREALTIME/[.,]/}
    "$@" >/dev/null
    end=${EPOCHREALTIME/[.,]/}
    netid_elapsed_us=$((10#$end - 10#$start))
}

# netid_median: the median of the numbers on standard input, one a line.
netid_median() {
    sort -g | awk '{ v[NR] = $1 }
        END {
            if (NR == 0) exit 1
            if (NR % 2) printf "%.6g\n", v[(NR + 1) / 2]
            else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2
        }'
}

# netid_median_ratio: the median of B / A over the lines "A B" on standard
# input (the per-pair ratios of two alternating measurements).
netid_median_ratio() {
    awk '$1 > 0 { printf "%.6g\n", $2 / $1 }' | netid_median
}
