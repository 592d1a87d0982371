#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A power loss while writers run: the store lives on an ext4 file system in a
# file image, mounted through a loop device; the image is copied while
# several processes write, as a disk would be found after the power went,
# then checked as a restart would check it (e2fsck) and mounted. Each copy's
# store must open, each writer's values must be a whole run v0..vN-1 (no call
# half done, none lost before a later one), and everything flushed before the
# copy was taken must be there.
#   power_loss.sh HELPER
# Needs root (mount) and a loop device; without them it says why and exits 77
# (shown as skipped).
set -u
helper=${1:?usage: power_loss.sh HELPER}

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "mounting a file system image needs root"
for tool in mkfs.ext4 e2fsck mount umount losetup; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/netid-power.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
    wait 2>/dev/null
    for m in "$work"/mnt "$work"/check; do mountpoint -q "$m" 2>/dev/null && umount -l "$m"; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mnt" "$work/check"
truncate -s 96M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img" >/dev/null 2>&1 || skip "cannot make an ext4 image"
# commit=1 and nodelalloc: what the writers did reaches the "disk" within a
# second, so that the copies catch it at many different moments.
mount -o loop,commit=1,nodelalloc "$work/disk.img" "$work/mnt" 2>/dev/null || skip "cannot mount a loop device here"

export NETID_REGISTRY_DIR=$work/mnt/store
writers=3
for w in $(seq 1 $writers); do
    "$helper" create "HKLM\\Software\\Power\\w$w" plain >/dev/null || { echo "FAIL: create"; exit 1; }
done
flushed=300
mark=$work/flushed
for w in $(seq 1 $writers); do
    if [ "$w" -eq 1 ]; then
        NETID_TEST_FLUSH_AT=$flushed NETID_TEST_FLUSH_MARK=$mark \
            "$helper" write "HKLM\\Software\\Power\\w$w" v 100000000 &
    else
        "$helper" write "HKLM\\Software\\Power\\w$w" v 100000000 &
    fi
    pids+=($!)
done

# Copies taken while they write: after the flush, and a few more later on.
copies=0
for attempt in $(seq 1 600); do
    [ -e "$mark" ] && break
    sleep 0.05  # polls for the flush; the bound is 30 s
done
[ -e "$mark" ] || { echo "FAIL: the first writer never flushed"; exit 1; }
hive=$work/mnt/store/machine.hive
for k in 1 2 3 4 5 6; do
    # Each copy waits until the writers added to the hive since the last one,
    # and is taken while the file system writes back what they did: the
    # disk is caught at a moment of its own each time.
    size0=$(stat -c %s "$hive")
    for attempt in $(seq 1 400); do
        [ "$(stat -c %s "$hive")" != "$size0" ] && break
        sleep 0.05  # polls for the hive to grow; the bound is 20 s
    done
    sync -f "$work/mnt" &
    syncer=$!
    cp --sparse=always "$work/disk.img" "$work/copy$k.img"
    wait "$syncer"
    copies=$((copies + 1))
done
for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
wait 2>/dev/null
pids=()
umount "$work/mnt"

failed=0
conclusive=0
for k in $(seq 1 $copies); do
    img=$work/copy$k.img
    e2fsck -fy "$img" >/dev/null 2>&1
    if [ $? -ge 4 ]; then
        echo "copy $k: the file system itself was caught mid-way (e2fsck could not mend it); not counted"
        continue
    fi
    mount -o loop "$img" "$work/check" || { echo "copy $k: cannot mount"; continue; }
    conclusive=$((conclusive + 1))
    export NETID_REGISTRY_DIR=$work/check/store
    for w in $(seq 1 $writers); do
        if ! names=$("$helper" names "HKLM\\Software\\Power\\w$w"); then
            echo "FAIL copy $k: the store does not open or the key is gone"
            failed=1
            continue
        fi
        count=$(printf '%s\n' "$names" | grep -c '^v' || true)
        expected=$(seq 0 $((count - 1)) | sed 's/^/v/')
        if [ "$(printf '%s\n' "$names" | grep '^v')" != "$expected" ] && [ "$count" -ne 0 ]; then
            echo "FAIL copy $k writer $w: the values are not a whole run v0..v$((count - 1))"
            failed=1
        fi
        if [ "$w" -eq 1 ] && [ "$count" -lt "$flushed" ]; then
            echo "FAIL copy $k: $count values, though $flushed were flushed before the copy"
            failed=1
        fi
        echo "copy $k writer $w: $count values"
    done
    # The store takes writes again.
    "$helper" write "HKLM\\Software\\Power\\w1" after 1 || { echo "FAIL copy $k: no write after"; failed=1; }
    umount "$work/check"
done
[ "$conclusive" -ge 1 ] || { echo "FAIL: no copy could be checked"; exit 1; }
[ "$failed" -eq 0 ] && echo "power loss: $conclusive copies checked, every store whole"
exit "$failed"
