#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The store's crash-state explorer.

Runs a store operation under strace and records its system calls, builds
from them the states a POSIX file system may leave behind at each moment
(a power loss), opens each state with the real code and checks it:

  record(...)   the system calls of one run, as a list of operations on
                files and directories (writes, truncations, entries made,
                linked, renamed, removed, syncs) and the acknowledgements the
                run printed ("acked N": N values flushed);
  states(...)   for every prefix of those operations, the disk contents a
                power loss may leave: what was synced is there; a write not
                yet synced is kept or dropped in 4 KiB blocks, or torn; an
                entry of a directory (a file made, linked, renamed, removed)
                is durable only once that directory was synced, and those
                not yet durable survive in order, up to some point;
  check(...)    builds such a state where the run was recorded and opens it
                with the store's code (netid_test_helper): it must open,
                hold the values d0..dK-1 whole and nothing else (the history
                is a prefix, nothing half applied), and K must reach every
                value a completed RegFlushKey acknowledged; each scenario
                adds what its operation must leave (a hive file saved whole
                or not at all, a hive mounted whole or not at all, a
                replacement done whole or not at all, an earlier store
                converted whole or still there to be converted again).

  crash_states.py HELPER [--states N] [--least L] [--seed S] [--scenario NAME]... [--keep]

--states N checks N states drawn from the whole set, at least L (20) of each
scenario (0, the default: all of them). The exit status is 0 when every
state checked holds, 1 otherwise (the failures are printed with what the
state held), 77 when strace is missing. Each scenario's figures are printed:
its states, how many were checked and failed, the time taken.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

BLOCK = 4096
SECTOR = 512

# The machine's start in which a state is recorded, one before it, and the
# start after the power loss.
PREPARED, RECORDED, AFTER = "prepared", "recorded", "after-the-power-loss"


def durable_data(index, size):
    """The contents the helper's "durable" run gives value number `index`."""
    return bytes((index * 131 + b * 7) & 0xFF for b in range(size))


class Scenario:
    """What is made before the recording (not recorded), the recorded run and
    what every state it may leave must hold. A scenario works in a directory
    of its own, `root`: the store is root/store, and hive files saved, loaded
    or replaced lie in root itself, so that their changes are recorded too."""

    def __init__(self, prepare, run, check, boot=RECORDED):
        self.prepare = prepare    # function(root, helper_call)
        self.run = run            # the helper's arguments; {root} stands for root
        self.check = check        # function(call, acked, root): None or why not
        self.boot = boot          # the start the recorded run belongs to


def verified(call, path, size, need, boot=AFTER, exact=None):
    """None when the "durable" values of `path` are d0..dK-1 whole, nothing
    else, K >= need (K == exact when given); else what is wrong."""
    rc, out = call(["verify", path, str(size), str(need)], boot)
    if rc != 0:
        return "verify %s: %s" % (path, out)
    if exact is not None and out != "ok %d" % exact:
        return "verify %s: %s, but %d values belong there" % (path, out, exact)
    return None


def first_failure(*checks):
    for check in checks:
        why = check()
        if why is not None:
            return why
    return None


def hive_file_holds(call, root, name, expected, boot=AFTER):
    """None when root/name is a whole hive file holding `expected` ((sub-key,
    size, count) of "durable" values), as our reader and, where installed,
    hivexml read it."""
    path = os.path.join(root, name)
    if shutil.which("hivexml") is not None:
        out = subprocess.run(["hivexml", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        if out.returncode != 0:
            return "hivexml %s: %s" % (name, out.stderr.decode(errors="replace").strip())
    rc, out = call(["load", "HKLM", "FileCheck", path], boot)
    if out != "0":
        return "loading %s: %s" % (name, out)
    why = first_failure(*[lambda s=s: verified(call, "HKLM\\FileCheck" + s[0], s[1], s[2], boot, s[2])
                          for s in expected])
    rc, out = call(["unload", "HKLM", "FileCheck"], boot)
    return why if why is not None or out == "0" else "unloading %s: %s" % (name, out)


def exists(call, path, boot):
    """True or False, or a text saying why neither."""
    rc, out = call(["exists", path], boot)
    return True if rc == 0 else False if rc == 1 else "exists %s: %d %s" % (path, rc, out)


def helper_ok(call, args, boot=RECORDED):
    rc, out = call(args, boot)
    if rc != 0 or out not in ("0",) and not out.startswith("acked") and out != "":
        raise RuntimeError("preparing: %s gave %d %s" % (" ".join(args), rc, out))


def twice(path, size):
    """The flushed values of `path`, as found and opened again."""
    return lambda call, need, root: first_failure(
        lambda: verified(call, path, size, need), lambda: verified(call, path, size, need))


# ---- an earlier store, converted at its first opening
def make_earlier_store(root, call):
    """A store of the earlier format (registry.db) with values the check
    knows: HKLM\\SOFTWARE\\Converted and HKCU\\Software\\Mine."""
    import sqlite3
    db = sqlite3.connect(os.path.join(root, "store", "registry.db"))
    db.executescript(
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name TEXT NOT NULL, uname TEXT NOT NULL, class TEXT NOT NULL DEFAULT '',"
        " volatile INTEGER NOT NULL DEFAULT 0, last_write INTEGER NOT NULL, security BLOB);"
        "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
        " name TEXT NOT NULL, uname TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
        "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
        " filter INTEGER NOT NULL, chain TEXT NOT NULL, time INTEGER NOT NULL);"
        "INSERT INTO meta VALUES ('format', 'netid-registry 1'), ('boot_id', 'boot-old');")
    user = "S-1-22-1-%d" % os.geteuid()
    keys = [(1, 0, "MACHINE"), (2, 0, "USER"), (3, 1, "SOFTWARE"), (4, 3, "Converted"), (5, 2, ".DEFAULT"),
            (6, 2, user), (7, 6, "Software"), (8, 7, "Mine")]
    db.executemany("INSERT INTO keys(id, parent, name, uname, last_write) VALUES (?, ?, ?, ?, 1)",
                   [(i, p, n, n.upper()) for i, p, n in keys])
    values = [(4, i, 64) for i in range(8)] + [(8, i, 32) for i in range(4)]
    db.executemany("INSERT INTO vals(key, name, uname, type, data) VALUES (?, ?, ?, 3, ?)",
                   [(k, "d%d" % i, "D%d" % i, durable_data(i, size)) for k, i, size in values])
    db.commit()
    db.close()


def check_converted(call, need, root):
    return first_failure(*[c for _ in range(2) for c in (
        lambda: verified(call, "HKLM\\SOFTWARE\\Converted", 64, 8, exact=8),
        lambda: verified(call, "Software\\Mine", 32, 4, exact=4),
        lambda: verified(call, "HKLM\\Software\\After", 32, need))])


# ---- RegSaveKey
def prepare_save(root, call):
    helper_ok(call, ["durable", "HKLM\\Software\\Saved", "16", "256", "16"])


def check_saved(call, need, root):
    why = twice("HKLM\\Software\\Saved", 256)(call, 16, root)
    if why is None and os.path.lexists(os.path.join(root, "saved.hiv")):
        why = hive_file_holds(call, root, "saved.hiv", [("", 256, 16)])
    return why


# ---- RegLoadKey and RegUnLoadKey
def prepare_load(root, call):
    helper_ok(call, ["durable", "HKLM\\Software\\Source", "8", "128", "8"])
    helper_ok(call, ["save", "HKLM\\Software\\Source", os.path.join(root, "loaded.hiv")])


def check_loaded(call, need, root):
    # In the same start of the machine the hive is mounted whole or not at
    # all; in the next one it went back to its file, which is whole.
    there = exists(call, "HKLM\\Loaded", RECORDED)
    if isinstance(there, str):
        return there
    if there:
        why = verified(call, "HKLM\\Loaded", 128, 8, RECORDED, 8)
        if why is not None:
            return "mounted: " + why
    there = exists(call, "HKLM\\Loaded", AFTER)
    if there is not False:
        return "still mounted in the next start of the machine: %s" % there
    return hive_file_holds(call, root, "loaded.hiv", [("", 128, 8)])


def prepare_unload(root, call):
    prepare_load(root, call)
    helper_ok(call, ["load", "HKLM", "Loaded", os.path.join(root, "loaded.hiv")])
    helper_ok(call, ["durable", "HKLM\\Loaded\\Data", "4", "64", "4"])


def check_unloaded(call, need, root):
    # Mounted with everything flushed into it, or back in its file whole.
    expected = [("", 128, 8), ("\\Data", 64, 4)]
    there = exists(call, "HKLM\\Loaded", RECORDED)
    if isinstance(there, str):
        return there
    if there:
        why = first_failure(lambda: verified(call, "HKLM\\Loaded", 128, 8, RECORDED, 8),
                            lambda: verified(call, "HKLM\\Loaded\\Data", 64, 4, RECORDED, 4))
    else:
        why = hive_file_holds(call, root, "loaded.hiv", expected, RECORDED)
    if why is not None:
        return ("mounted: " if there else "unloaded: ") + why
    there = exists(call, "HKLM\\Loaded", AFTER)
    if there is not False:
        return "still mounted in the next start of the machine: %s" % there
    return hive_file_holds(call, root, "loaded.hiv", expected)


# ---- RegReplaceKey, carried out at the next start
def prepare_replace(root, call):
    for args in (["durable", "HKLM\\Software\\Replaced", "8", "64", "8"],
                 ["durable", "HKLM\\Software\\New", "6", "96", "6"],
                 ["save", "HKLM\\Software\\New", os.path.join(root, "new.hiv")],
                 ["replace", "HKLM", "Software\\Replaced", os.path.join(root, "new.hiv"),
                  os.path.join(root, "old.hiv")]):
        helper_ok(call, args, PREPARED)


def check_replaced(call, need, root):
    # Before the replacement or after it, never in between; at the next
    # start it has happened, and the old contents are in the old file.
    key = "HKLM\\Software\\Replaced"
    if verified(call, key, 64, 8, RECORDED, 8) is not None:
        why = verified(call, key, 96, 6, RECORDED, 6)
        if why is not None:
            return "neither the old contents nor the new: " + why
    why = first_failure(lambda: verified(call, key, 96, 6, AFTER, 6),
                        lambda: verified(call, "HKLM\\Software\\After", 16, need))
    if why is None and os.path.lexists(os.path.join(root, "old.hiv")):
        why = hive_file_holds(call, root, "old.hiv", [("", 64, 8)])
    return why


SCENARIOS = {
    # The first use of a fresh store by a user: the store is made, then the
    # user's own hive, then values are written and flushed.
    "first-use": Scenario(None, ["durable", "Software\\Durable", "24", "64", "4"], twice("Software\\Durable", 64)),
    # Many small commits and flushes on the machine's hive: checkpoints.
    "commits": Scenario(
        lambda root, call: helper_ok(call, ["durable", "HKLM\\Software\\Prepared", "1", "8", "1"]),
        ["durable", "HKLM\\Software\\Durable", "160", "700", "8"], twice("HKLM\\Software\\Durable", 700)),
    # Large values, each set six times: the hive file is written anew and
    # renamed over the old.
    "rewrite": Scenario(
        lambda root, call: helper_ok(call, ["durable", "HKLM\\Software\\Prepared", "1", "8", "1"]),
        ["durable", "HKLM\\Software\\Durable", "32", "131072", "4", "6"], twice("HKLM\\Software\\Durable", 131072)),
    # A store of the earlier format converted at its first opening, then
    # written and flushed.
    "convert": Scenario(make_earlier_store, ["durable", "HKLM\\Software\\After", "8", "32", "2"], check_converted),
    "save": Scenario(prepare_save, ["save", "HKLM\\Software\\Saved", "{root}/saved.hiv"], check_saved),
    "load": Scenario(prepare_load, ["load", "HKLM", "Loaded", "{root}/loaded.hiv"], check_loaded),
    "unload": Scenario(prepare_unload, ["unload", "HKLM", "Loaded"], check_unloaded),
    # The first process of the next start carries the replacement out.
    "replace": Scenario(prepare_replace, ["durable", "HKLM\\Software\\After", "2", "16", "1"], check_replaced),
}

TRACED = ("open,openat,creat,close,write,pwrite64,lseek,ftruncate,fsync,fdatasync,sync,syncfs,"
          "mkdir,mkdirat,unlink,unlinkat,rmdir,rename,renameat,renameat2,link,linkat,fchmod,fchmodat")


# ------------------------------------------------------------ strace output
HEX_ONLY = re.compile(r"(?:\\x[0-9a-f]{2})*")


def unescape(text):
    """The bytes of a string strace printed with -xx."""
    if HEX_ONLY.fullmatch(text):
        return bytes.fromhex(text.replace("\\x", ""))
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            simple = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "\\": 92, '"': 34}
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n.isdigit():
                j = i + 1
                while j < len(text) and j < i + 4 and text[j].isdigit():
                    j += 1
                out.append(int(text[i + 1:j], 8))
                i = j
                continue
        out.extend(c.encode())
        i += 1
    return bytes(out)


TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[\[{(<]|[\]})>]|,')


def split_args(text):
    """Top-level arguments of a call as strace printed them."""
    args, depth, start = [], 0, 0
    for m in TOKEN.finditer(text):
        c = m.group(0)
        if c[0] == '"':
            continue
        if c in "[{(<":
            depth += 1
        elif c in "]})>":
            depth -= 1
        elif depth == 0:
            args.append(text[start:m.start()].strip())
            start = m.end()
    tail = text[start:].strip()
    if tail:
        args.append(tail)
    return args


def arg_string(arg):
    m = re.match(r'^"((?:[^"\\]|\\.)*)"', arg)
    return unescape(m.group(1)) if m else None


def arg_fd(arg):
    """(number, path or None) of a descriptor argument printed with -y."""
    # A file without a name (O_TMPFILE) or unlinked shows as "<path>(deleted)".
    m = re.match(r"^(AT_FDCWD|-?\d+)(?:<(.*)>(?:\(deleted\))?)?$", arg, re.S)
    if not m:
        return None, None
    number = -100 if m.group(1) == "AT_FDCWD" else int(m.group(1))
    path = unescape(m.group(2)).decode(errors="replace") if m.group(2) is not None else None
    return number, path


LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+|\?)(.*)$", re.S)


def calls(log):
    """(pid, name, args, result) of every completed call in a strace log."""
    pending = {}
    with open(log, "r", encoding="latin-1") as f:
        for raw in f:
            raw = raw.rstrip("\n")
            m = re.match(r"^(\d+)\s+(.*)$", raw)
            if not m:
                continue
            pid, rest = m.group(1), m.group(2)
            if rest.endswith("<unfinished ...>"):
                pending[pid] = rest[: -len("<unfinished ...>")].rstrip()
                continue
            r = re.match(r"^<\.\.\. \w+ resumed>(.*)$", rest)
            if r:
                rest = pending.pop(pid, "") + r.group(1)
            m = LINE.match(pid + " " + rest)
            if not m or m.group(4) == "?":
                continue
            yield m.group(2), split_args(m.group(3)), int(m.group(4))


# ------------------------------------------------------------ recording
class Node:
    def __init__(self, ident, is_dir, mode):
        self.ident, self.is_dir, self.mode = ident, is_dir, mode


class Recording:
    """A run's effect on a directory tree, as operations in order:
       ("write", inode, offset, bytes) ("truncate", inode, length)
       ("enter", dir, name, inode) ("remove", dir, name)
       ("rename", dir, name, dir2, name2) ("sync", inode) ("syncall",)
       ("ack", n)
    and the tree as it was before (initial: dir -> {name: inode}, data)."""

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.nodes = {}
        self.entries = {}      # dir inode -> {name: inode}, as the run goes
        self.data = {}         # file inode -> bytes before the run
        self.ops = []
        self.next = 0
        self.root_id = self._snapshot(self.root)
        self.initial = {d: dict(e) for d, e in self.entries.items()}

    def _new(self, is_dir, mode):
        self.next += 1
        self.nodes[self.next] = Node(self.next, is_dir, mode)
        if is_dir:
            self.entries[self.next] = {}
        else:
            self.data[self.next] = b""
        return self.next

    def _snapshot(self, path):
        st = os.lstat(path)
        ident = self._new(os.path.isdir(path), st.st_mode & 0o7777)
        if self.nodes[ident].is_dir:
            for name in sorted(os.listdir(path)):
                self.entries[ident][name] = self._snapshot(os.path.join(path, name))
        else:
            with open(path, "rb") as f:
                self.data[ident] = f.read()
        return ident

    def resolve(self, base_path, name, parent=False):
        """The inode (or (dir, last name) with parent) a path names, or None
        when it lies outside the store."""
        full = os.path.normpath(name if name.startswith("/") else os.path.join(base_path or "/", name))
        if full != self.root and not full.startswith(self.root + "/"):
            return None
        parts = [p for p in full[len(self.root):].split("/") if p]
        node = self.root_id
        walk = parts[:-1] if parent else parts
        for part in walk:
            if node not in self.entries or part not in self.entries[node]:
                return None
            node = self.entries[node][part]
        if parent:
            return (node, parts[-1]) if parts else None
        return node


def record(helper, args, root, env, log):
    """Runs the helper under strace; returns the Recording of `root`."""
    rec = Recording(root)
    cmd = ["strace", "-f", "-qq", "-o", log, "-s", str(1 << 26), "-xx", "-y", "-e", "trace=" + TRACED,
           "-e", "signal=none", helper] + args
    # LeakSanitizer cannot run under ptrace; the sanitizer builds check the
    # helper for leaks in every run that is not traced.
    traced_env = dict(env, ASAN_OPTIONS="detect_leaks=0")
    out = subprocess.run(cmd, env=traced_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    said = out.stdout.decode(errors="replace").strip()
    if out.returncode != 0 or args[0] != "durable" and said != "0":
        raise RuntimeError("the recorded run failed: %s %s" % (said, out.stderr.decode()))
    umask = os.umask(0)
    os.umask(umask)
    fds = {}        # descriptor -> [inode, position]
    for name, a, result in calls(log):
        if result < 0 and name not in ("close",):
            continue
        if name in ("open", "openat", "creat"):
            if name == "openat":
                base_fd, base = arg_fd(a[0])
                path, flags = arg_string(a[1]), a[2]
                mode = a[3] if len(a) > 3 else "0"
            else:
                base, path = os.getcwd(), arg_string(a[0])
                flags = a[1] if name == "open" else "O_CREAT|O_WRONLY|O_TRUNC"
                mode = a[2] if len(a) > 2 else "0"
            path = path.decode(errors="replace")
            if base is None and not path.startswith("/"):
                continue
            mode_bits = int(mode, 8) & ~umask if re.match(r"^0[0-7]*$", mode) else 0o644
            if "O_TMPFILE" in flags:
                fds[result] = [rec._new(False, mode_bits), 0]
                continue
            ident = rec.resolve(base, path)
            if ident is None and "O_CREAT" in flags:
                where = rec.resolve(base, path, parent=True)
                if where is None:
                    continue
                ident = rec._new(False, mode_bits)
                rec.entries[where[0]][where[1]] = ident
                rec.ops.append(("enter", where[0], where[1], ident))
            if ident is None:
                continue
            if "O_TRUNC" in flags and not rec.nodes[ident].is_dir:
                rec.ops.append(("truncate", ident, 0))
            fds[result] = [ident, 0]
        elif name == "close":
            fd, _ = arg_fd(a[0])
            fds.pop(fd, None)
        elif name in ("write", "pwrite64"):
            fd, _ = arg_fd(a[0])
            payload = arg_string(a[1])[:result]
            if fd == 1:
                for m in re.finditer(rb"acked (\d+)", payload):
                    rec.ops.append(("ack", int(m.group(1))))
                continue
            if fd not in fds or rec.nodes[fds[fd][0]].is_dir:
                continue
            offset = int(a[3]) if name == "pwrite64" else fds[fd][1]
            rec.ops.append(("write", fds[fd][0], offset, payload))
            if name == "write":
                fds[fd][1] += result
        elif name == "lseek":
            fd, _ = arg_fd(a[0])
            if fd in fds:
                fds[fd][1] = result
        elif name == "ftruncate":
            fd, _ = arg_fd(a[0])
            if fd in fds:
                rec.ops.append(("truncate", fds[fd][0], int(a[1])))
        elif name in ("fsync", "fdatasync"):
            fd, _ = arg_fd(a[0])
            if fd in fds:
                rec.ops.append(("sync", fds[fd][0]))
        elif name in ("sync", "syncfs"):
            rec.ops.append(("syncall",))
        elif name in ("mkdir", "mkdirat"):
            base, path, mode = (arg_fd(a[0])[1], arg_string(a[1]), a[2]) if name == "mkdirat" else \
                (os.getcwd(), arg_string(a[0]), a[1])
            where = rec.resolve(base, path.decode(errors="replace"), parent=True)
            if where is None:
                continue
            ident = rec._new(True, int(mode, 8) & ~umask)
            rec.entries[where[0]][where[1]] = ident
            rec.ops.append(("enter", where[0], where[1], ident))
        elif name in ("unlink", "unlinkat", "rmdir"):
            base, path = (arg_fd(a[0])[1], arg_string(a[1])) if name == "unlinkat" else (os.getcwd(), arg_string(a[0]))
            where = rec.resolve(base, path.decode(errors="replace"), parent=True)
            if where is None or where[1] not in rec.entries[where[0]]:
                continue
            del rec.entries[where[0]][where[1]]
            rec.ops.append(("remove", where[0], where[1]))
        elif name in ("rename", "renameat", "renameat2", "link", "linkat"):
            if name in ("rename", "link"):
                src = (os.getcwd(), arg_string(a[0]))
                dst = (os.getcwd(), arg_string(a[1]))
                flags = ""
            else:
                src = (arg_fd(a[0])[1], arg_string(a[1]))
                dst = (arg_fd(a[2])[1], arg_string(a[3]))
                flags = a[4] if len(a) > 4 else ""
            src_path = src[1].decode(errors="replace")
            m = re.match(r"^/proc/self/fd/(\d+)$", src_path)
            if name.startswith("link") and m:
                ident = fds.get(int(m.group(1)), [None])[0]
                frm = None
            else:
                frm = rec.resolve(src[0], src_path, parent=True)
                ident = rec.entries[frm[0]].get(frm[1]) if frm else None
            to = rec.resolve(dst[0], dst[1].decode(errors="replace"), parent=True)
            if ident is None or to is None:
                continue
            if name.startswith("link"):
                rec.entries[to[0]][to[1]] = ident
                rec.ops.append(("enter", to[0], to[1], ident))
            else:
                del rec.entries[frm[0]][frm[1]]
                rec.entries[to[0]][to[1]] = ident
                rec.ops.append(("rename", frm[0], frm[1], to[0], to[1]))
        elif name in ("fchmod", "fchmodat"):
            if name == "fchmod":
                fd, _ = arg_fd(a[0])
                ident = fds.get(fd, [None])[0]
                mode = a[1]
            else:
                ident = rec.resolve(arg_fd(a[0])[1], arg_string(a[1]).decode(errors="replace"))
                mode = a[2]
            if ident is not None and re.match(r"^0[0-7]*$", mode):
                rec.nodes[ident].mode = int(mode, 8)
    return rec


# ------------------------------------------------------------ crash states
def durable_flags(rec, crash):
    """For each operation before `crash`: True when a sync made it durable."""
    ops = rec.ops[:crash]
    durable = [False] * len(ops)
    # Walk backwards: an operation is durable when a later sync covers it.
    synced_files, synced_dirs, all_synced = set(), set(), False
    for i in range(len(ops) - 1, -1, -1):
        op = ops[i]
        kind = op[0]
        if kind == "sync":
            (synced_dirs if rec.nodes[op[1]].is_dir else synced_files).add(op[1])
        elif kind == "syncall":
            all_synced = True
        elif kind in ("write", "truncate"):
            durable[i] = all_synced or op[1] in synced_files
        elif kind in ("enter", "remove"):
            durable[i] = all_synced or op[1] in synced_dirs
        elif kind == "rename":
            durable[i] = all_synced or (op[1] in synced_dirs and op[3] in synced_dirs)
        else:
            durable[i] = True
    return durable


def states(rec, variants_random, rng):
    """Every state of the whole set, as (crash point, variant, seed)."""
    points = [k for k in range(len(rec.ops) + 1) if k == 0 or rec.ops[k - 1][0] != "sync"]
    out = []
    for k in points:
        for variant in ("synced", "all", "torn"):
            out.append((k, variant, 0))
        for r in range(variants_random):
            out.append((k, "random", rng.randrange(1 << 30)))
    return out


def build(rec, crash, variant, seed):
    """The tree a power loss at `crash` may leave, as (entries, data)."""
    rng = random.Random(seed)
    ops = rec.ops[:crash]
    durable = durable_flags(rec, crash)
    meta = [i for i, op in enumerate(ops) if op[0] in ("enter", "remove", "rename") and not durable[i]]
    if variant == "synced":
        meta_cut = 0
    elif variant == "random":
        meta_cut = rng.randint(0, len(meta))
    else:
        meta_cut = len(meta)
    kept_meta = set(meta[:meta_cut])
    last_write = max([i for i, op in enumerate(ops) if op[0] == "write" and not durable[i]], default=-1)
    entries = {d: dict(e) for d, e in rec.initial.items()}
    data = {f: bytearray(b) for f, b in rec.data.items() if f in rec.data}
    for i, op in enumerate(ops):
        kind = op[0]
        if kind in ("enter", "remove", "rename"):
            if not durable[i] and i not in kept_meta:
                continue
            if kind == "enter":
                entries.setdefault(op[1], {})[op[2]] = op[3]
                if rec.nodes[op[3]].is_dir:
                    entries.setdefault(op[3], {})
            elif kind == "remove":
                entries.get(op[1], {}).pop(op[2], None)
            else:
                ident = entries.get(op[1], {}).pop(op[2], None)
                if ident is not None:
                    entries.setdefault(op[3], {})[op[4]] = ident
        elif kind == "truncate":
            if durable[i] or variant != "synced" and (variant != "random" or rng.random() < 0.5):
                buf = data.setdefault(op[1], bytearray())
                del buf[op[2]:]
                buf.extend(b"\0" * (op[2] - len(buf)))
        elif kind == "write":
            buf = data.setdefault(op[1], bytearray())
            payload, offset = op[3], op[2]
            pieces = []
            pos = offset
            while pos < offset + len(payload):
                end = min((pos // BLOCK + 1) * BLOCK, offset + len(payload))
                pieces.append((pos, end))
                pos = end
            for index, (start, end) in enumerate(pieces):
                keep = durable[i] or variant == "all" or variant == "torn" and i != last_write
                if not durable[i] and variant == "random":
                    keep = rng.random() < 0.5
                if not durable[i] and variant == "torn" and i == last_write:
                    # The pieces before the tear, and part of the one torn.
                    tear = rng.randrange(len(pieces))
                    if index > tear:
                        continue
                    if index == tear:
                        end = start + (end - start) // SECTOR * SECTOR * rng.randint(0, 1)
                    keep = True
                if not keep or end <= start:
                    continue
                if len(buf) < end:
                    buf.extend(b"\0" * (end - len(buf)))
                buf[start:end] = payload[start - offset:end - offset]
    return entries, data


def acked(rec, crash):
    n = 0
    for op in rec.ops[:crash]:
        if op[0] == "ack":
            n = op[1]
    return n


def materialize(rec, entries, data, target):
    """Writes the tree into `target`, the directory recorded, emptied first
    but kept: a loaded hive's file is known by its directory, and paths
    recorded in the store stay true (hard links kept as hard links)."""
    placed = {}

    def place(dir_id, path):
        for name, ident in sorted(entries.get(dir_id, {}).items()):
            full = os.path.join(path, name)
            node = rec.nodes[ident]
            if node.is_dir:
                os.mkdir(full)
                place(ident, full)
                os.chmod(full, node.mode)
            elif ident in placed:
                os.link(placed[ident], full)
            else:
                with open(full, "wb") as f:
                    f.write(bytes(data.get(ident, b"")))
                os.chmod(full, node.mode)
                placed[ident] = full

    for name in os.listdir(target):
        full = os.path.join(target, name)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.unlink(full)
    place(rec.root_id, target)
    os.chmod(target, rec.nodes[rec.root_id].mode)


def helper_call(helper, root):
    """A function running the helper on root's store in a given start of
    the machine: (exit status, what it printed)."""
    def call(args, boot):
        env = dict(os.environ, NETID_REGISTRY_DIR=os.path.join(root, "store"), NETID_BOOT_ID=boot)
        out = subprocess.run([helper] + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=120)
        return out.returncode, out.stdout.decode(errors="replace").strip()
    return call


def check(helper, rec, scenario, crash, variant, seed):
    """Opens one state with the store's code; None when it holds, else why not."""
    entries, data = build(rec, crash, variant, seed)
    materialize(rec, entries, data, rec.root)
    why = scenario.check(helper_call(helper, rec.root), acked(rec, crash), rec.root)
    if why is not None:
        listing = subprocess.run(["ls", "-laR", rec.root], stdout=subprocess.PIPE).stdout.decode()
        return "%s\n%s" % (why, listing)
    return None


def main():
    p = argparse.ArgumentParser()
    p.add_argument("helper")
    p.add_argument("--states", type=int, default=0, help="states to check, drawn from the whole set (0: all)")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--scenario", action="append", choices=sorted(SCENARIOS))
    p.add_argument("--random", type=int, default=3, help="random variants per crash point")
    p.add_argument("--least", type=int, default=20, help="states each scenario gives at least to a sample")
    p.add_argument("--keep", action="store_true", help="keep the work directory")
    o = p.parse_args()
    if shutil.which("strace") is None:
        print("SKIPPED: strace is not installed: it records the runs")
        return 77
    seed = o.seed if o.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    helper = os.path.realpath(o.helper)
    work = tempfile.mkdtemp(prefix="netid-crash.")
    scenarios = o.scenario or list(SCENARIOS)
    print("seed %d" % seed)
    failures, total = 0, 0
    try:
        plans = []
        for name in scenarios:
            scenario = SCENARIOS[name]
            root = os.path.join(work, name)
            os.makedirs(os.path.join(root, "store"))
            began = time.monotonic()
            if scenario.prepare is not None:
                scenario.prepare(root, helper_call(helper, root))
            env = dict(os.environ, NETID_REGISTRY_DIR=os.path.join(root, "store"), NETID_BOOT_ID=scenario.boot)
            run = [a.replace("{root}", root) for a in scenario.run]
            rec = record(helper, run, root, env, os.path.join(work, name + ".strace"))
            every = states(rec, o.random, rng)
            plans.append((name, scenario, rec, every, time.monotonic() - began))
            total += len(every)
        print("whole set: %d states (%s)" % (total, ", ".join(
            "%s %d from %d operations" % (n, len(e), len(r.ops)) for n, _, r, e, _ in plans)))
        budget = o.states if o.states > 0 else total
        checked = 0
        for name, scenario, rec, every, recording in plans:
            share = len(every)
            if budget < total:
                # Each scenario's part of the sample, and some states of each.
                share = max(min(len(every), o.least), budget * len(every) // total)
            picked = every if share >= len(every) else rng.sample(every, share)
            began, failed = time.monotonic(), 0
            for crash, variant, vseed in picked:
                checked += 1
                why = check(helper, rec, scenario, crash, variant, vseed)
                if why is not None:
                    failed += 1
                    op = rec.ops[crash - 1] if crash > 0 else ("start",)
                    print("FAIL %s: power loss after operation %d (%s), %s unsynced kept, seed %d: %s" % (
                        name, crash, " ".join(str(x) for x in op[:3]), variant, vseed,
                        why[:3000] if failed <= 5 else why.split("\n")[0]))
                    sys.stdout.flush()
            failures += failed
            print("%s: %d states from %d operations, %d checked, %d failed; recorded in %.1f s, checked in %.1f s" % (
                name, len(every), len(rec.ops), len(picked), failed, recording, time.monotonic() - began))
            sys.stdout.flush()
        print("%d states checked, %d failed" % (checked, failures))
    finally:
        if o.keep:
            print("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
