#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs a test program beside a Samba server of its own: smbd and
# samba-dcerpcd on 127.0.0.1, port 1445, every file in a fresh temporary
# directory, a user of their own who belongs to BUILTIN\Administrators. The
# server is stopped and its directory removed when this script ends, however
# it ends. Where the server cannot be started the program still runs, told
# why in NETID_SAMBA_SKIP, and reports its remote tests as skipped; this
# script then exits with 77 (skipped) when nothing failed.
#   with_samba.sh PROGRAM [ARGS...]
# The program finds the server in NETID_SAMBA_HOST, NETID_SAMBA_PORT,
# NETID_SAMBA_USER and NETID_SAMBA_PASSWORD_FILE.
set -uo pipefail

# The first port from 1445 (or NETID_SAMBA_TEST_PORT) that nothing listens
# on: several test runs on one machine each start a server of their own, and
# a client that reached another run's server would be refused its logon.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=${NETID_SAMBA_TEST_PORT:-1445}
for ((tries = 0; tries < 100; tries++)); do
    port_in_use "$port" || break
    port=$((port + 1))
done
dir=$(mktemp -d /tmp/netid-samba.XXXXXX) || exit 1
pids=()
group=
user=
# samba-dcerpcd's helpers open an (empty) log under Samba's log directory
# before they read the configuration: those this run adds are removed again.
samba_logs=/var/log/samba
logs_before=$(ls "$samba_logs" 2>/dev/null)

cleanup() {
    # The servers and the helpers they started, each group by its leader;
    # killed outright when they have not gone within half a minute.
    local pid i alive
    for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null; done
    for ((i = 0; i < 300; i++)); do
        alive=
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ -z "$alive" ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null; kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
    if [ -n "$user" ]; then userdel "$user" >/dev/null 2>&1; fi
    if [ -n "$group" ]; then groupdel "$group" >/dev/null 2>&1; fi
    rm -rf "$dir"
    local log
    for log in "$samba_logs"/log.rpcd_*; do
        [ -f "$log" ] && [ ! -s "$log" ] || continue
        grep -qxF "${log##*/}" <<<"$logs_before" || rm -f "$log"
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start() {
    command -v smbd >/dev/null || { reason="smbd is not installed (package samba)"; return 1; }
    local dcerpcd
    dcerpcd=$(ls /usr/libexec/samba/samba-dcerpcd 2>/dev/null) ||
        { reason="samba-dcerpcd is not installed (package samba)"; return 1; }
    [ "$(id -u)" -eq 0 ] || { reason="starting smbd needs root (a user of its own is added)"; return 1; }
    mkdir -p "$dir"/{private,lock,state,cache,pid,ncalrpc,log,share}
    # The registry service runs as the user who logged on: it must reach
    # its state directory (the secrets stay in private/ and the auth file).
    chmod 755 "$dir"
    cat >"$dir/smb.conf" <<CONF
[global]
    server role = standalone server
    workgroup = NETIDTEST
    netbios name = NETIDTEST
    interfaces = 127.0.0.1
    bind interfaces only = yes
    smb ports = $port
    private dir = $dir/private
    lock directory = $dir/lock
    state directory = $dir/state
    cache directory = $dir/cache
    pid directory = $dir/pid
    ncalrpc dir = $dir/ncalrpc
    binddns dir = $dir/bind-dns
    log file = $dir/log/%m.log
    passdb backend = tdbsam:$dir/private/passdb.tdb
    rpc start on demand helpers = no
    disable spoolss = yes
    load printers = no
    server min protocol = SMB2
    log level = ${NETID_SAMBA_LOG_LEVEL:-0}
CONF
    # A user and group of this run's own, removed again at the end.
    group=netidt$$
    user=netidu$$
    groupadd "$group" || { group=; reason="groupadd failed"; return 1; }
    useradd -M -N -g "$group" -s /usr/sbin/nologin "$user" || { user=; reason="useradd failed"; return 1; }
    password=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
    printf '%s\n%s\n' "$password" "$password" |
        smbpasswd -c "$dir/smb.conf" -s -a "$user" >/dev/null || { reason="smbpasswd -a failed"; return 1; }
    net -s "$dir/smb.conf" groupmap add sid=S-1-5-32-544 unixgroup="$group" type=builtin \
        >/dev/null || { reason="net groupmap add failed"; return 1; }
    (umask 077; printf 'username = %s\npassword = %s\n' "$user" "$password" >"$dir/auth")
    # Each server in a session of its own: on the way out they signal their
    # whole process group, which must not be this script's (and smbd is
    # told not to make one itself).
    setsid smbd -F --no-process-group -l "$dir/log" -s "$dir/smb.conf" </dev/null >"$dir/log/smbd.out" 2>&1 &
    pids+=($!)
    setsid "$dcerpcd" -F --libexec-rpcds -l "$dir/log" -s "$dir/smb.conf" </dev/null >"$dir/log/dcerpcd.out" 2>&1 &
    pids+=($!)
    # Up when the port answers and the registry's pipe is there (bounded
    # generously; the wait ends at once when a server has died).
    local i
    for ((i = 0; i < 600; i++)); do
        if [ -S "$dir/ncalrpc/np/winreg" ] && port_in_use "$port"; then
            # The port must be our smbd's, not another run's that took it
            # meanwhile.
            if ! command -v ss >/dev/null || ss -ltnpH "sport = :$port" | grep -q "pid=${pids[0]},"; then
                return 0
            fi
            reason="port $port was taken by another server while ours started"
            return 1
        fi
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null || { reason="smbd did not start: $(cat "$dir"/log/*.out "$dir"/log/*.log 2>/dev/null | tail -n 5 | tr "\n" " ")"; return 1; }
        done
        sleep 0.1
    done
    reason="smbd did not answer on 127.0.0.1:$port within a minute"
    return 1
}

reason=
if ! start; then
    # Every remote test skips, saying why; the whole is reported skipped
    # (77) unless something failed.
    echo "SKIPPED: ${reason:-the Samba server could not be started}"
    NETID_SAMBA_SKIP="${reason:-the Samba server could not be started}" "$@"
    status=$?
    [ "$status" -eq 0 ] && exit 77
    exit "$status"
fi
NETID_SAMBA_HOST=127.0.0.1 NETID_SAMBA_PORT=$port NETID_SAMBA_USER=$user \
    NETID_SAMBA_PASSWORD_FILE=$dir/auth NETID_SAMBA_DIR=$dir "$@"
