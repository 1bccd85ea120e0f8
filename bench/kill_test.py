#!/usr/bin/env python3
"""Kills `sorvane` with SIGKILL at random moments of large updates and checks
what is left of the archive.

Builds the inputs (small files and one large file), an archive holding the
"earlier" files (some of them deleted again, so there is dead space), then
for each round: copies that archive, starts one update command on the copy,
kills it with `kill -9` after a random delay within the command's measured
duration, and checks the copy:
  - it opens, lists and verifies (`sorvane list`, `sorvane verify`);
  - every file that was in it before the command is intact (extracted and
    compared byte for byte), except where the command was changing it;
  - each change of the command is wholly there or wholly absent: a new or
    replaced file reads as exactly its old or its new bytes, a renamed file
    is under exactly one of its two names, a re-localed one in exactly one
    of its two locales, a deleted one absent or intact.
Commands (rotated): add (thousands of small files, imploded), add-big (the
second large file, stored), replace (all earlier small files with new bytes),
replace-big, delete (half of the earlier small files), rename (the large encrypted file: its data is
re-encrypted under the new name), set-locale, compact.

Usage: bench/kill_test.py [--rounds N] [--files N] [--new-files N] [--big-mb N]
                          [--ops add,compact,...] [--seed N] [--build DIR] [--keep]
Prints per round what happened and at the end: kills, damaged archives, files
lost (earlier files not intact), partial changes, and the breakdown.
"""

import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALL_OPS = ["add", "add-big", "replace", "replace-big", "delete", "rename", "set-locale", "compact"]
BIG_NAME = "big\\old.bin"
BIG_MOVED = "big\\moved.bin"
MOVED_LOCALE = 0x409


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=30, help="kills to attempt (default 30)")
    p.add_argument("--files", type=int, default=1000, help="small files in the archive before (default 1000)")
    p.add_argument("--new-files", type=int, default=2000, help="small files the add command adds (default 2000)")
    p.add_argument("--big-mb", type=int, default=300, help="size of the large file in MB (default 300)")
    p.add_argument("--ops", default=",".join(ALL_OPS), help="commands to rotate through (default: all)")
    p.add_argument("--seed", type=int, default=1, help="seed of the inputs and the kill moments")
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"), help="build folder (Release)")
    p.add_argument("--keep", action="store_true", help="keep the work folder (and damaged archives)")
    args = p.parse_args()
    args.ops = [o for o in args.ops.split(",") if o]
    for o in args.ops:
        if o not in ALL_OPS:
            p.error("unknown command %r; known: %s" % (o, ", ".join(ALL_OPS)))
    return args


def build(folder):
    subprocess.run(["cmake", "-S", ROOT, "-B", folder, "-DCMAKE_BUILD_TYPE=Release", "-DTAVRIX_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "sorvane", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(os.path.abspath(folder), "tools", "sorvane", "sorvane")


def work_folder(need_bytes):
    # In memory when it has room: a kill leaves what was written in the page
    # cache either way, and the rounds run much faster there.
    base = os.environ.get("BENCH_DIR")
    if not base:
        base = tempfile.gettempdir()
        if os.path.isdir("/dev/shm") and shutil.disk_usage("/dev/shm").free > need_bytes:
            base = "/dev/shm"
    return tempfile.mkdtemp(prefix="tavrix_kill_", dir=base)


# ---- inputs ---------------------------------------------------------------------

WORDS = [b"alpha", b"beta", b"gamma", b"delta", b"unit", b"footman", b"archer", b"tower", b"gold",
         b"lumber", b"\r\n", b"= 1", b"= 0", b"[section]"]


def small_content(rng, index):
    size = rng.randint(100, 8000)
    if rng.random() < 0.3:
        return rng.randbytes(size)
    out = bytearray(b"file %d\r\n" % index)
    while len(out) < size:
        out += rng.choice(WORDS) + b" "
    return bytes(out[:size])


def write_tree(folder, prefix, count, rng, tag):
    """count small files under folder/prefix/dNN/fNNNNN.txt; returns {stored name: sha256}."""
    names = {}
    for i in range(count):
        rel = "%s/d%02d/f%05d.txt" % (prefix, i % 20, i)
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = small_content(rng, i) + tag
        with open(path, "wb") as f:
            f.write(data)
        names[rel.replace("/", "\\")] = hashlib.sha256(data).hexdigest()
    return names


def write_big(path, megabytes, rng):
    """A large file of half noise, half text, every MB different; returns its sha256."""
    noise = rng.randbytes(1 << 19)
    text = bytearray()
    while len(text) < (1 << 19):
        text += rng.choice(WORDS) + b" "
    text = bytes(text[: 1 << 19])
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        for m in range(megabytes):
            chunk = b"MB %08d " % m + noise[12:] + text
            f.write(chunk)
            digest.update(chunk)
    return digest.hexdigest()


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


# ---- the tool -------------------------------------------------------------------

class Tool:
    def __init__(self, path):
        self.path = path

    def run(self, args, cwd=None):
        r = subprocess.run([self.path] + args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")

    def must(self, args, cwd=None):
        rc, out, err = self.run(args, cwd)
        if rc != 0:
            sys.exit("sorvane %s failed (%d): %s" % (" ".join(args[:3]), rc, err.strip()[:2000]))
        return out

    def entries(self, archive):
        """{(name, locale)} as `sorvane list` shows them, or None when it fails."""
        rc, out, _ = self.run(["list", archive])
        if rc != 0:
            return None
        found = set()
        # Columns: size, stored, ratio, locale, flags, methods, name.
        for line in out.splitlines()[1:]:
            fields = line.split()
            if len(fields) >= 7:
                found.add((fields[-1], int(fields[-4], 0)))
        return found

    def extract(self, archive, names, folder, locale=0):
        """{name: sha256 or None} of the named files as extracted."""
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        got = {}
        names = list(names)
        for start in range(0, len(names), 500):
            part = names[start:start + 500]
            self.run(["extract", archive] + part + ["-C", folder, "--locale", hex(locale)])
            for n in part:
                path = os.path.join(folder, *n.split("\\"))
                got[n] = sha256_file(path) if os.path.isfile(path) else None
        return got


# ---- one command and what it may change -------------------------------------------

class Scenario:
    """A command line and the outcomes allowed for every file it touches."""

    def __init__(self, op, state):
        self.op = op
        self.cwd = state.work
        self.args = []
        # name -> set of allowed sha256 (None: absent allowed) for files of
        # locale 0 that the command touches; every other earlier file must
        # read exactly as before.
        self.allowed = {}
        self.new_names = set()  # names the command adds
        big = state.big_name
        if op == "add":
            self.args = ["add", "ARCHIVE", "new"]
            for n, h in state.new_files.items():
                self.allowed[n] = {None, h}
            self.new_names = set(self.allowed)
        elif op == "add-big":
            self.args = ["add", "ARCHIVE", "--compress", "none", "big_new.bin"]
            self.allowed["big_new.bin"] = {None, state.big_new_sha}
            self.new_names = set(self.allowed)
        elif op == "replace":
            self.cwd = state.replace_root
            self.args = ["add", "ARCHIVE", "--replace", "old"]
            for n, h in state.replacement.items():
                if n in state.earlier:
                    self.allowed[n] = {state.earlier[n], h}
                else:  # deleted before: added anew
                    self.allowed[n] = {None, h}
                    self.new_names.add(n)
        elif op == "replace-big":
            self.args = ["add", "ARCHIVE", "--replace", "--encrypt", "--compress", "none",
                         "--name", big, "big_new.bin"]
            self.allowed[big] = {state.earlier[big], state.big_new_sha}
        elif op == "delete":
            names = sorted(n for n in state.earlier if n != big)
            gone = names[::2]
            self.args = ["delete", "ARCHIVE"] + gone
            for n in gone:
                self.allowed[n] = {None, state.earlier[n]}
        elif op == "rename":
            self.args = ["rename", "ARCHIVE", big, BIG_MOVED]
        elif op == "set-locale":
            self.args = ["set-locale", "ARCHIVE", big, "0", hex(MOVED_LOCALE)]
        elif op == "compact":
            self.args = ["compact", "ARCHIVE"]

    def command(self, tool, archive):
        return [tool.path] + [archive if a == "ARCHIVE" else a for a in self.args]


class State:
    pass


def check(tool, state, scenario, archive, scratch):
    """Returns (problems, lost, partial, unlisted): a list of texts, the count
    of earlier files not intact, of changes neither wholly there nor absent,
    and of added files stored but missing from the name list."""
    problems = []
    entries = tool.entries(archive)
    if entries is None:
        problems.append("does not list")
    rc, _, err = tool.run(["verify", archive])
    if rc != 0:
        lines = [l for l in err.splitlines() if l.strip()]
        problems.append("verify fails (%d problems; %s)" % (len(lines), lines[0][:120] if lines else "?"))
    big = state.big_name
    wanted = set(state.earlier) | set(scenario.allowed)
    got = tool.extract(archive, sorted(wanted | {BIG_MOVED}), scratch)
    lost = partial = unlisted = 0

    if scenario.op == "set-locale":
        moved = tool.extract(archive, [big], scratch, MOVED_LOCALE)[big]
        at0 = entries is not None and (big, 0) in entries
        at1 = entries is not None and (big, MOVED_LOCALE) in entries
        if entries is not None and at0 and at1:
            partial += 1
            problems.append("the large file is in both locales")
        intact = (got[big] == state.earlier[big]) or (moved == state.earlier[big] and (at1 or entries is None))
        if not intact:
            lost += 1
            problems.append("the large file is in neither locale intact")
    elif scenario.op == "rename":
        old_ok = got[big] == state.earlier[big]
        new_ok = got[BIG_MOVED] == state.earlier[big]
        if old_ok and new_ok:
            partial += 1
            problems.append("the large file is under both names")
        elif not old_ok and not new_ok:
            lost += 1
            problems.append("the large file reads under neither name (%s / %s)" %
                            ("absent" if got[big] is None else "wrong bytes",
                             "absent" if got[BIG_MOVED] is None else "wrong bytes"))
        elif got[big] is not None and not old_ok or got[BIG_MOVED] is not None and not new_ok:
            partial += 1
            problems.append("a damaged copy of the large file under its other name")

    for name, digest in sorted(state.earlier.items()):
        if scenario.op in ("set-locale", "rename") and name == big:
            continue
        allowed = scenario.allowed.get(name, {digest})
        if got[name] in allowed:
            continue
        lost += 1
        if len(problems) < 12:
            problems.append("earlier file %s %s" % (name, "is gone" if got[name] is None else "has wrong bytes"))
    listed = set(n for n, _ in entries) if entries is not None else set()
    for name in scenario.new_names:
        if got[name] not in scenario.allowed[name]:
            partial += 1
            if len(problems) < 12:
                problems.append("new file %s has wrong bytes" % name)
        elif got[name] is not None and entries is not None and name not in listed:
            unlisted += 1
    return problems, lost, partial, unlisted


# ---- main -----------------------------------------------------------------------

def main():
    args = parse_args()
    rng = random.Random(args.seed)
    print("building sorvane (Release) in %s" % args.build, flush=True)
    tool = Tool(build(args.build))
    need = args.big_mb * (1 << 20) * 6 + 200 * (1 << 20)
    work = work_folder(need)
    print("work folder %s" % work, flush=True)
    try:
        run(args, rng, tool, work)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def run(args, rng, tool, work):
    s = State()
    s.work = work
    t0 = time.time()
    tree_rng = random.Random(args.seed * 7919)
    earlier = write_tree(work, "old", args.files, tree_rng, b"")
    s.new_files = write_tree(work, "new", args.new_files, tree_rng, b"")
    s.replace_root = os.path.join(work, "v2")
    s.replacement = write_tree(s.replace_root, "old", args.files, tree_rng, b" (second version)")
    big_sha = write_big(os.path.join(work, "big_old.bin"), args.big_mb, tree_rng)
    s.big_new_sha = write_big(os.path.join(work, "big_new.bin"), args.big_mb, tree_rng)
    s.big_name = BIG_NAME
    print("inputs: %d earlier files, %d new files, 2 files of %d MB (%.1f s)" %
          (args.files, args.new_files, args.big_mb, time.time() - t0), flush=True)

    # The archive before every command: the small files (imploded; every
    # fourth folder encrypted and position-keyed), the large file stored and
    # encrypted, then a quarter of the small files deleted for dead space.
    base = os.path.join(work, "base.mpq")
    hash_size = 16
    while hash_size < 2 * (args.files + args.new_files + 16):
        hash_size *= 2
    tool.must(["create", base, "--hash-size", str(hash_size)])
    folders = sorted(os.listdir(os.path.join(work, "old")))
    plain = ["old/" + f for i, f in enumerate(folders) if i % 4 != 3]
    keyed = ["old/" + f for i, f in enumerate(folders) if i % 4 == 3]
    tool.must(["add", base] + plain, cwd=work)
    if keyed:
        tool.must(["add", base, "--key-adjusted"] + keyed, cwd=work)
    tool.must(["add", base, "--encrypt", "--compress", "none", "--name", BIG_NAME, "big_old.bin"], cwd=work)
    dropped = sorted(earlier)[1::4]
    tool.must(["delete", base] + dropped)
    for n in dropped:
        del earlier[n]
    earlier[BIG_NAME] = big_sha
    s.earlier = earlier
    print("archive before: %d files, %d bytes (%d deleted for dead space)" %
          (len(earlier), os.path.getsize(base), len(dropped)), flush=True)

    archive = os.path.join(work, "a.mpq")
    scratch = os.path.join(work, "out")

    # Each command once to the end: its duration bounds the kill moments, and
    # the checks must pass on a finished command.
    duration = {}
    for op in args.ops:
        shutil.copyfile(base, archive)
        sc = Scenario(op, s)
        t = time.time()
        r = subprocess.run(sc.command(tool, archive), cwd=sc.cwd, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        duration[op] = time.time() - t
        problems, lost, partial, _ = check(tool, s, sc, archive, scratch)
        status = "ok" if r.returncode == 0 and not problems else "FAILS UNKILLED (rc %d): %s" % (
            r.returncode, "; ".join(problems) or r.stderr.decode(errors="replace").strip()[:300])
        print("  %-11s runs %.2f s to the end: %s" % (op, duration[op], status), flush=True)

    totals = {"kills": 0, "finished": 0, "damaged": 0, "unopenable": 0, "verify": 0, "lost": 0,
              "partial": 0, "unlisted": 0, "temp": 0}
    per_op = {op: [0, 0, 0] for op in args.ops}  # kills, damaged, lost
    print("\nround  command      kill at   result", flush=True)
    for i in range(args.rounds):
        op = args.ops[i % len(args.ops)]
        shutil.copyfile(base, archive)
        for leftover in os.listdir(work):
            if leftover.startswith("a.mpq."):
                os.remove(os.path.join(work, leftover))
        sc = Scenario(op, s)
        delay = rng.uniform(0.0, duration[op])
        proc = subprocess.Popen(sc.command(tool, archive), cwd=sc.cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(delay)
        killed = proc.poll() is None
        if killed:
            os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        problems, lost, partial, unlisted = check(tool, s, sc, archive, scratch)
        temps = [f for f in os.listdir(work) if f.startswith("a.mpq.")]
        if killed:
            totals["kills"] += 1
            per_op[op][0] += 1
        else:
            totals["finished"] += 1
        damaged = bool(problems)
        totals["damaged"] += damaged
        totals["unopenable"] += any(p == "does not list" for p in problems)
        totals["verify"] += any(p.startswith("verify fails") for p in problems)
        totals["lost"] += lost
        totals["partial"] += partial
        totals["unlisted"] += unlisted
        totals["temp"] += bool(temps)
        per_op[op][1] += damaged
        per_op[op][2] += lost
        what = "killed" if killed else "finished first"
        result = "intact" if not damaged else "DAMAGED: " + "; ".join(problems[:4])
        if lost:
            result += " [%d earlier files lost]" % lost
        if unlisted:
            result += " [%d added files not in the name list]" % unlisted
        if temps:
            result += " [left %s]" % ", ".join(temps)
        print("%5d  %-11s %6.2f s  %s: %s" % (i + 1, op, delay, what, result), flush=True)
        if damaged and args.keep:
            shutil.copyfile(archive, os.path.join(work, "damaged-%02d-%s.mpq" % (i + 1, op)))

    print("\nper command: kills / damaged archives / earlier files lost")
    for op in args.ops:
        k, d, l = per_op[op]
        print("  %-11s %3d / %3d / %6d" % (op, k, d, l))
    print("\nkills: %d (and %d commands that finished before their kill)" % (totals["kills"], totals["finished"]))
    print("damaged archives: %d (%d do not list, %d fail verify)" %
          (totals["damaged"], totals["unopenable"], totals["verify"]))
    print("files lost: %d (earlier files not intact, of %d per archive)" % (totals["lost"], len(s.earlier)))
    print("partial changes: %d" % totals["partial"])
    print("added files stored but not in the name list: %d" % totals["unlisted"])
    print("rounds that left a temporary file: %d" % totals["temp"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
