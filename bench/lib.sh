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

# netid_median: the median of the numbers on standard input, one a line; a
# whole number is printed whole (not 1.28068e+06 for 1280679 microseconds).
netid_median() {
    sort -g | awk '{ v[NR] = $1 }
        END {
            if (NR == 0) exit 1
            m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            if (m == int(m) && m < 1e15) printf "%d\n", m
            else printf "%.6g\n", m
        }'
}

# netid_median_ratio: the median of B / A over the lines "A B" on standard
# input (the per-pair ratios of two alternating measurements).
netid_median_ratio() {
    awk '$1 > 0 { printf "%.6g\n", $2 / $1 }' | netid_median
}
