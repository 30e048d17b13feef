#!/usr/bin/env python3
"""Kills the real program with SIGKILL at random moments and checks what is left.

    bench/torture_kill9.py CYCLES [--seconds N] [--bin DIR] [--seed S] [--keep]

Three jobs of three "Run Program" actions each run at every start of the
program (scheduled "at start-up"), so each cycle starts them again. A cycle
is one of:

  run     start the program, kill it at a random moment (while it starts,
          writes the crash log, installs modules or runs jobs);
  import  start the program and `zk40-reg import` a large file (the job
          definitions again plus a fresh key of many values) beside it, and
          kill both at random moments;
  first   end the installation cleanly (below), then make a fresh one, import
          the jobs and kill its first start (which installs the shipped
          modules) at a random moment.

After every cycle, with nothing running:
  - the store passes PRAGMA integrity_check;
  - every value of the job definitions is as imported;
  - an import is there whole or not at all;
  - every run that a kill interrupted (a run record left under crash\\jobs)
    is in the crash log exactly once once its record is gone, no record is
    in the log twice, and the log names no run that was never interrupted.
An installation ends with a clean start and SIGTERM, after which no run
record may be left.

A run the program reported in its crash log but was killed before deleting
its record is reported again at the next start. That window is counted as
"reported twice (log written, record not yet deleted)"; with --strict it is
a failure like any other.

Exit status 0 when every check held, 1 otherwise; the last lines say what
was run and what was lost.
"""

import argparse
import datetime
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = "Software\\DENTRAX-14\\Zarkell'40"
JOBS = PRODUCT + "\\jobs"
REG_SZ, REG_DWORD = 1, 4
EPOCH = datetime.datetime(1901, 1, 1)


def fail(msg):
    print("FAILED: " + msg, flush=True)
    raise SystemExit(1)


# ---- the job definitions ----------------------------------------------------


def job_definitions():
    """key path below HKCU -> {value name: (type, bytes)}"""
    defs = {}
    for j in range(3):
        key = JOBS + "\\%08X" % (0x100 + j)
        defs[key] = {
            "Name": (REG_SZ, b"Torture %d" % (j + 1)),
            "SchedType": (REG_DWORD, (2).to_bytes(4, "little")),
            "NumActions": (REG_DWORD, (3).to_bytes(4, "little")),
        }
        programs = [
            ("/bin/echo", "first of job %d on $Y-$m-$d" % (j + 1)),
            ("/bin/sleep", "0.%d" % (2 + 2 * j)),
            ("/bin/echo", "'third' \"of\" %d" % (j + 1)),
        ]
        for a, (prog, args) in enumerate(programs, start=1):
            akey = key + "\\A%08X" % a
            defs[akey] = {
                "Name": (REG_SZ, b"step %d" % a),
                "VendorID": (REG_SZ, b"DNTRX-14"),
                "ModuleID": (REG_SZ, b"RUNPROG"),
                "ActionID": (REG_SZ, b"RUNPROGRAM"),
            }
            defs[akey + "\\RID"] = {
                "RID-0001": (REG_SZ, prog.encode()),
                "RID-0002": (REG_SZ, args.encode()),
            }
    return defs


def reg_text(defs):
    out = ["REGEDIT4", ""]
    for key, values in defs.items():
        out.append("[HKEY_CURRENT_USER\\%s]" % key)
        for name, (typ, data) in values.items():
            q = '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
            if typ == REG_DWORD:
                out.append("%s=dword:%08x" % (q, int.from_bytes(data, "little")))
            else:
                s = data.decode()
                out.append('%s="%s"' % (q, s.replace("\\", "\\\\").replace('"', '\\"')))
        out.append("")
    return "\r\n".join(out) + "\r\n"


def import_definitions(cycle, count):
    key = "Software\\Torture\\Import%05d" % cycle
    return key, {key: {"V%05d" % i: (REG_SZ, b"value %d of import %d" % (i, cycle)) for i in range(count)}}


# ---- reading the store directly --------------------------------------------


class StoreView:
    def __init__(self, path):
        self.db = sqlite3.connect(path, timeout=30)

    def close(self):
        self.db.close()

    def integrity(self):
        return [r[0] for r in self.db.execute("PRAGMA integrity_check")]

    def key(self, path):
        row = self.db.execute("SELECT id FROM keys WHERE parent IS NULL").fetchone()
        kid = row[0]
        for name in path.split("\\"):
            row = self.db.execute(
                "SELECT id FROM keys WHERE parent=? AND name=? COLLATE NOCASE", (kid, name)
            ).fetchone()
            if not row:
                return None
            kid = row[0]
        return kid

    def values(self, kid):
        rows = self.db.execute("SELECT name, type, data FROM vals WHERE key=?", (kid,))
        return {name.lower(): (typ, bytes(data)) for name, typ, data in rows}

    def subkeys(self, kid):
        return [r[0] for r in self.db.execute("SELECT name FROM keys WHERE parent=?", (kid,))]


def store_time_text(t):
    return (EPOCH + datetime.timedelta(seconds=t)).strftime("%Y-%m-%d %H:%M:%S")


# ---- one installation --------------------------------------------------------


class Installation:
    def __init__(self, root, index, bindir):
        self.dir = os.path.join(root, "inst%03d" % index)
        self.bindir = bindir
        self.env = dict(os.environ)
        for var, sub in [
            ("HOME", "home"),
            ("XDG_DATA_HOME", "data"),
            ("XDG_STATE_HOME", "state"),
            ("XDG_RUNTIME_DIR", "run"),
            ("XDG_CONFIG_HOME", "config"),
            ("TMPDIR", "tmp"),
        ]:
            p = os.path.join(self.dir, sub)
            os.makedirs(p, mode=0o700, exist_ok=True)
            self.env[var] = p
        for var in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(var, None)
        self.env["ZK40_NO_START_DELAY"] = "1"
        self.store = os.path.join(self.env["XDG_DATA_HOME"], "zarkell40", "store.db")
        self.crash_log = os.path.join(self.env["XDG_STATE_HOME"], "zarkell40", "zk40.crash.log")
        self.outputs = 0
        # (record, start time text, job name) -> how often the log may name it
        self.allowed = {}
        self.pending = set()

    def start(self, args=()):
        self.outputs += 1
        out = open(os.path.join(self.dir, "out%05d.txt" % self.outputs), "wb")
        p = subprocess.Popen(
            [os.path.join(self.bindir, "zarkell40")] + list(args),
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=subprocess.STDOUT,
        )
        p.out_path = out.name
        out.close()
        return p

    def reg(self, *args, wait=True):
        p = subprocess.Popen(
            [os.path.join(self.bindir, "zk40-reg")] + list(args),
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
        )
        if wait:
            out, _ = p.communicate(timeout=120)
            if p.returncode != 0:
                fail("zk40-reg %s: %s" % (" ".join(args), out.decode(errors="replace")))
        return p

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    # -- the checks --

    def crash_log_entries(self, stats):
        """(record, start, name) -> count, over the complete blocks of the log."""
        counts = {}
        try:
            text = open(self.crash_log, encoding="utf-8", errors="replace").read()
        except FileNotFoundError:
            return counts
        blocks = text.split("END-OF-CRASH:\n")
        if blocks[-1].strip():
            stats["partial crash-log blocks"] = stats.get("partial crash-log blocks", 0) + 1
        for block in blocks[:-1]:
            rec = start = None
            for line in block.split("\n"):
                if line.startswith("JOB-"):
                    rec = line.split(":", 1)[1]
                elif line.startswith("STARTTIME:"):
                    start = line[len("STARTTIME:"):]
                elif line.startswith("NAME:") and rec is not None:
                    t = (rec, start, line[len("NAME:"):])
                    counts[t] = counts.get(t, 0) + 1
                    rec = start = None
        return counts

    def run_records(self, view):
        jobs = view.key(PRODUCT + "\\crash\\jobs")
        records = set()
        if jobs is None:
            return records
        for rec in view.subkeys(jobs):
            vals = view.values(view.key(PRODUCT + "\\crash\\jobs\\" + rec))
            start = int.from_bytes(vals.get("starttime", (0, b"\0\0\0\0"))[1][:4], "little")
            name = vals.get("name", (0, b""))[1].split(b"\0")[0].decode(errors="replace")
            records.add((rec, store_time_text(start), name))
        return records

    def check(self, defs, stats, strict, imported=None):
        """The checks after a kill; returns the interrupted runs left."""
        if not os.path.exists(self.store):
            return set()
        view = StoreView(self.store)
        try:
            result = view.integrity()
            if result != ["ok"]:
                fail("integrity_check: %s" % result[:5])
            for key, values in defs.items():
                kid = view.key(key)
                if kid is None:
                    fail("job definition key is gone: " + key)
                have = view.values(kid)
                for name, want in values.items():
                    got = have.get(name.lower())
                    if got != want:
                        fail("job definition %s\\%s is %r, not %r" % (key, name, got, want))
            if imported:
                ikey, idefs = imported
                kid = view.key(ikey)
                if kid is None:
                    stats["imports killed before commit"] += 1
                else:
                    have = view.values(kid)
                    want = {n.lower(): v for n, v in idefs[ikey].items()}
                    if have != want:
                        fail("import %s is partial: %d of %d values" % (ikey, len(have), len(want)))
                    stats["imports complete"] += 1
            records = self.run_records(view)
        finally:
            view.close()

        log = self.crash_log_entries(stats)
        for t, n in log.items():
            if t not in self.allowed:
                fail("the crash log names a run that was never interrupted: %r" % (t,))
        for t in records:
            if t not in self.allowed:
                self.allowed[t] = 1
                stats["interrupted runs"] += 1
            n = log.get(t, 0)
            if n >= self.allowed[t]:
                # Reported, then killed before its record went: the next
                # start reports it once more.
                if strict:
                    fail("run %r is in the crash log but its record was not deleted" % (t,))
                self.allowed[t] = n + 1
                stats["reported twice (log written, record not yet deleted)"] += 1
        self.pending = records
        for t, allowed in self.allowed.items():
            if t in records:
                continue
            n = log.get(t, 0)
            if n == 0:
                fail("interrupted run %r is not in the crash log: lost" % (t,))
            if n > allowed:
                fail("interrupted run %r is in the crash log %d times" % (t, n))
        return records

    def finish(self, defs, stats, strict):
        """A clean start and stop: every record reported, none left."""
        p = self.start()
        deadline = time.time() + 60
        while time.time() < deadline:
            out = open(p.out_path, "rb").read()
            if b"System Initialization:  Completed," in out:
                break
            if p.poll() is not None:
                fail("the program ended at a clean start (%s): %s" % (p.returncode, out[-2000:]))
            time.sleep(0.1)
        else:
            fail("the program did not finish starting: " + open(p.out_path, errors="replace").read()[-2000:])
        # Let the jobs of this start run once.
        time.sleep(2.0)
        p.send_signal(signal.SIGTERM)
        try:
            rc = p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            fail("the program did not stop within 60 s of SIGTERM")
        if rc != 0:
            fail("the program stopped with %d: %s" % (rc, open(p.out_path, errors="replace").read()[-2000:]))
        left = self.check(defs, stats, strict)
        if left:
            fail("run records left after a clean stop: %r" % (sorted(left),))
        view = StoreView(self.store)
        try:
            mod = view.key(PRODUCT + "\\actions\\DNTRX-14\\RUNPROG\\RUNPROGRAM")
            loaded = mod is not None and view.values(mod).get("loaded", (0, b""))[1][:1] == b"\x01"
        finally:
            view.close()
        if not loaded:
            stats["installations without the shipped module at the end"] += 1


VERBOSE = False


def kill_now(p, what=""):
    alive = p.poll() is None
    if alive:
        p.send_signal(signal.SIGKILL)
    p.wait()
    if VERBOSE:
        size = os.path.getsize(p.out_path) if hasattr(p, "out_path") else -1
        print("    killed %s%s (output %d bytes)" % (what, "" if alive else " (had ended)", size), flush=True)


# Where in a start a kill is aimed, with the line of output that opens the
# phase. A kill lands a random time after that line.
PHASES = [
    ("starting", None, 1.5),
    ("crash log", b"did not shut down cleanly", 0.01),
    ("modules", b"SysUpd:  Opening Archive", 0.3),
    ("jobs", b"[Torture", 1.2),
]


def kill_in_phase(p, rng, stats, what, phases=PHASES):
    """Kills p a random moment into a randomly chosen phase of its start."""
    name, marker, spread = rng.choice(phases)
    deadline = time.time() + 20
    if marker is not None:
        while time.time() < deadline and p.poll() is None:
            if marker in open(p.out_path, "rb").read():
                break
            time.sleep(0.005)
        else:
            # The phase never came (nothing to report, nothing to install,
            # or the program ended): a kill at a random moment instead.
            name = "starting"
    time.sleep(rng.uniform(0, spread))
    stats["kills in phase " + name] = stats.get("kills in phase " + name, 0) + 1
    kill_now(p, "%s in phase %s" % (what, name))


def repair_shipped_module(inst, stats):
    # An interrupted first start can leave the shipped module neither
    # installed nor queued again; the jobs then fail at once and interrupt
    # nothing. Count it, and have the next start install it again.
    view = StoreView(inst.store)
    try:
        mod = view.key(PRODUCT + "\\actions\\DNTRX-14\\RUNPROG")
        fname = b""
        if mod is not None:
            fname = view.values(mod).get("filename", (0, b""))[1].split(b"\0")[0]
        base = view.key(PRODUCT + "\\base")
        shipped = base is not None and view.values(base).get("shippedmodules", (0, b"\0"))[1][:1] == b"\1"
    finally:
        view.close()
    path = os.path.join(inst.env["XDG_DATA_HOME"], "zarkell40", "actions", fname.decode())
    if shipped and (not fname or not os.path.isfile(path)):
        stats["first starts that lost the shipped module"] += 1
        inst.reg("delete", "HKCU\\" + PRODUCT + "\\base", "/v", "ShippedModules", "/f")


def next_second():
    # Run records are named by a counter that starts again in every process
    # and carry their start to the second; a start in a new second keeps
    # the runs of two processes apart.
    now = time.time()
    time.sleep(int(now) + 1.05 - now)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cycles", type=int, help="cycles to run (0: as many as --seconds allow)")
    ap.add_argument("--seconds", type=float, default=0, help="stop after this long")
    ap.add_argument("--bin", default=os.path.join(TOP, "build"), help="folder of zarkell40 and zk40-reg")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--strict", action="store_true", help="a run reported twice fails too")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--import-values", type=int, default=3000, help="values per imported key")
    ap.add_argument("-v", "--verbose", action="store_true", help="one line per kill")
    args = ap.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    if args.cycles <= 0 and args.seconds <= 0:
        ap.error("give CYCLES or --seconds")
    seed = args.seed if args.seed is not None else int(time.time())
    rng = random.Random(seed)
    print("torture_kill9: seed %d" % seed, flush=True)
    for b in ("zarkell40", "zk40-reg"):
        if not os.access(os.path.join(args.bin, b), os.X_OK):
            fail("no %s in %s (build first)" % (b, args.bin))

    root = tempfile.mkdtemp(prefix="zk40-torture-")
    defs = job_definitions()
    stats = {
        k: 0
        for k in [
            "cycles",
            "run",
            "import",
            "first",
            "kills",
            "interrupted runs",
            "reported twice (log written, record not yet deleted)",
            "imports complete",
            "imports killed before commit",
            "installations",
            "installations without the shipped module at the end",
            "first starts that lost the shipped module",
        ]
    }
    began = time.time()
    inst = None
    import_time = 0.5
    try:
        while True:
            if args.cycles > 0 and stats["cycles"] >= args.cycles:
                break
            if args.seconds > 0 and time.time() - began >= args.seconds:
                break
            kind = "first" if inst is None else rng.choices(["run", "import", "first"], [70, 22, 8])[0]
            stats["cycles"] += 1
            stats[kind] += 1
            imported = None
            next_second()
            if kind == "first":
                if inst is not None:
                    inst.finish(defs, stats, args.strict)
                inst = Installation(root, stats["installations"], args.bin)
                stats["installations"] += 1
                inst.reg("import", inst.write("jobs.reg", reg_text(defs)))
                p = inst.start()
                kill_in_phase(p, rng, stats, "a first start")
                stats["kills"] += 1
                repair_shipped_module(inst, stats)
            elif kind == "run":
                p = inst.start()
                kill_in_phase(p, rng, stats, "the program")
                stats["kills"] += 1
            else:
                ikey, idefs = import_definitions(stats["cycles"], args.import_values)
                both = dict(defs)
                both.update(idefs)
                f = inst.write("import.reg", reg_text(both))
                p = inst.start()
                time.sleep(rng.uniform(0, 0.8))
                t0 = time.time()
                r = inst.reg("import", f, wait=False)
                # Kill the import at a random moment of its usual length (a
                # fifth of the time it is left to finish).
                if rng.random() < 0.8:
                    time.sleep(rng.uniform(0, import_time * 1.2))
                    kill_now(r, "the import")
                    stats["kills"] += 1
                else:
                    r.wait(timeout=120)
                    import_time = max(0.05, (import_time + time.time() - t0) / 2)
                time.sleep(rng.uniform(0, 0.5))
                kill_now(p, "the program")
                stats["kills"] += 1
                imported = (ikey, idefs)
            inst.check(defs, stats, args.strict, imported)
            if stats["cycles"] % 10 == 0:
                print("  %d cycles, %d interrupted runs so far" % (stats["cycles"], stats["interrupted runs"]), flush=True)
        if inst is not None:
            inst.finish(defs, stats, args.strict)
    finally:
        print("torture_kill9: %.0f s" % (time.time() - began))
        for k, v in stats.items():
            print("  %-55s %d" % (k, v))
        print("  lost: nothing" if sys.exc_info()[0] is None else "  stopped at the first fault above")
        if args.keep:
            print("kept " + root)
        else:
            subprocess.run(["rm", "-rf", root])


if __name__ == "__main__":
    main()
