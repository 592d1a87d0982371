#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# regctl's bash completion of key names, on a store of its own: roots end in
# their backslash, sub-keys come from the store through regctl, typed without
# quotes (each backslash doubled) or inside a quote (as they stand).
#   completion.sh COMPLETION_FILE BIN_DIR WORK_DIR
set -euo pipefail
completion=$1
export PATH="$2:$PATH"
NETID_REGISTRY_DIR=$(mktemp -d "$3/store.XXXXXX")
export NETID_REGISTRY_DIR
regctl add 'HKCU\Software\Alpha\Beta' /f >/dev/null
regctl add 'HKCU\Software\Also' /f >/dev/null
# shellcheck source=/dev/null
source "$completion"

# What completing the word WORD after "regctl query" offers, one per line.
offers() {
    COMP_WORDS=(regctl query "$1")
    COMP_CWORD=2
    _regctl
    printf '%s\n' "${COMPREPLY[@]}"
}
expect() {
    local got
    got=$(offers "$1")
    if [ "$got" != "$2" ]; then
        printf 'completing %s gave:\n%s\nnot:\n%s\n' "$1" "$got" "$2"
        exit 1
    fi
}
expect 'HKL' 'HKLM\\'
expect 'HKCU\\Software\\Al' 'HKCU\\Software\\Alpha\\
HKCU\\Software\\Also\\'
expect "'hkcu\\Software\\Alpha\\" 'hkcu\Software\Alpha\Beta\'
expect 'HKCU\\NoSuchKey\\x' ''
