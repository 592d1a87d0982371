#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Fails when a file of the POSIX platform layer includes from a layer that
# is not below its own (platform/posix/README.md): each folder may include
# only from the folders beneath it, and every folder may include windows.h.
#   layering.sh PLATFORM_POSIX_DIR
set -euo pipefail
dir=${1:?usage: layering.sh PLATFORM_POSIX_DIR}

# What each layer may include, besides itself.
declare -A below=(
    [base]=""
    [security]="base"
    [regf]="security base"
    [store]="security base"
    [remote]="base"
    [calls]="store regf remote security base"
)

bad=0
checked=0
for layer in "${!below[@]}"; do
    [ -d "$dir/$layer" ] || continue
    allowed=" $layer ${below[$layer]} "
    while IFS= read -r -d '' file; do
        checked=$((checked + 1))
        while IFS= read -r target; do
            [ "$target" = "" ] && continue
            if [[ $allowed != *" $target "* ]]; then
                echo "upward include: ${file#"$dir"/} includes from $target/"
                bad=$((bad + 1))
            fi
        done < <(sed -nE 's@^[[:space:]]*#[[:space:]]*include[[:space:]]*"platform/posix/([a-z_]+)/.*@\1@p' "$file")
    done < <(find "$dir/$layer" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print0)
done
# Every source of the layer lives in a layer's folder.
while IFS= read -r -d '' file; do
    echo "outside every layer: ${file#"$dir"/}"
    bad=$((bad + 1))
done < <(find "$dir" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.c' \) -print0)
[ "$checked" -gt 0 ] || { echo "no sources found under $dir"; exit 1; }
echo "$checked files checked, $bad upward includes"
[ "$bad" -eq 0 ]
