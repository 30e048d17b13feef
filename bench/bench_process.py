#!/usr/bin/env python3
"""The whole program with many jobs loaded: start-up time, memory and idle CPU.

Fills a fresh store with N jobs of 5 "Run Program" actions each (daily jobs
that are not due while the measurement runs), starts the real program and
reports:

  first tick   time from process start to the "System Initialization:
               Completed," line on standard error (shown at the end of the
               first scheduler tick), the median of --runs starts;
  RSS          VmRSS at that moment (median of the same starts), and for the
               last start also at rest, after the idle window, with the
               peak (VmHWM);
  idle CPU     user + system CPU over --idle seconds after the first tick of
               the last start, as CPU seconds per hour; also the same for the
               part of that window after the first --settle seconds, which
               leaves out start-up work that runs after the first tick.

Each start is stopped with SIGTERM and must exit with status 0.

--shape picks how the program runs: "headless" (no display: the default),
"window" (the main window on Qt's offscreen platform; the first tick then
also means that the window has shown the whole tree) or "minimized" (the
window started minimised, as the start-minimised option does).

  python3 bench/bench_process.py [BUILD_DIR] [--jobs N] [--runs K] [--idle S]
                                 [--settle S] [--shape headless|window|minimized]
"""

import argparse
import datetime
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ACTIONS_PER_JOB = 5
VENDOR, MODULE, ACTION = "DNTRX-14", "RUNPROG", "RUNPROGRAM"
PRODUCT = "HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40"
MODULE_FILE = "ZKA00001.dll"
READY_LINE = b"System Initialization:  Completed,"
SCHED_DAILY = 5
STATE_IDLE = 5
CLK_TCK = os.sysconf("SC_CLK_TCK")


def store_time(when):
    """Local wall-clock seconds since 1901-01-01 00:00:00, as the store keeps times."""
    return int((when - datetime.datetime(1901, 1, 1)).total_seconds())


def daily_time(now):
    """03:00 today, or 15:00 when 03:00 comes within the next three hours: a
    daily job that already ran today (LastRun = now) is then not due while
    this script runs."""
    at = now.replace(hour=3, minute=0, second=0, microsecond=0)
    ahead = (at - now).total_seconds() % 86400
    if ahead < 3 * 3600:
        at = at.replace(hour=15)
    return at


def dword(v):
    return "dword:%08x" % (v & 0xFFFFFFFF)


def quoted(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_reg_file(path, jobs):
    now = datetime.datetime.now().replace(microsecond=0)
    t_now = store_time(now)
    at = daily_time(now)
    t_at = store_time(at)
    day = store_time(now.replace(hour=0, minute=0, second=0))
    eol = "\r\n"
    out = ["REGEDIT4", ""]
    catalogue = PRODUCT + "\\actions\\" + VENDOR + "\\" + MODULE
    out += ["[%s]" % catalogue, '"FILENAME"=%s' % quoted(MODULE_FILE), ""]
    out += ["[%s\\%s]" % (catalogue, ACTION), '"LOADED"=%s' % dword(1), ""]
    job_values = [
        ("Flags", 3),
        ("SchedType", SCHED_DAILY),
        ("Time", t_at),
        ("Hour", 1),
        ("Minute", 0),
        ("LastRun", t_now),
        ("NextRun", t_at + 86400),
        ("State", STATE_IDLE),
        ("NumActions", ACTIONS_PER_JOB),
        ("StartTime", day),
        ("StopTime", day + 86399),
        ("LastStat", 0),
        ("RetryCount", 0),
        ("RetryDelay", 0),
    ]
    for j in range(jobs):
        job_id = j + 1
        key = "%s\\jobs\\%08X" % (PRODUCT, job_id)
        out.append("[%s]" % key)
        out.append('"Name"=%s' % quoted("Job %d" % job_id))
        out += ['"%s"=%s' % (n, dword(v)) for n, v in job_values]
        out.append("")
        for a in range(1, ACTIONS_PER_JOB + 1):
            akey = "%s\\A%08X" % (key, a)
            out += [
                "[%s]" % akey,
                '"Name"=%s' % quoted("Job %d step %d" % (job_id, a)),
                '"Status"=%s' % quoted("Action Created."),
                '"Status2"=""',
                '"Percent"=%s' % dword(0),
                '"LastStat"=%s' % dword(0),
                '"VendorID"=%s' % quoted(VENDOR),
                '"ModuleID"=%s' % quoted(MODULE),
                '"ActionID"=%s' % quoted(ACTION),
                "",
                "[%s\\RID]" % akey,
                '"RID-0001"=%s' % quoted("/bin/true"),
                "",
            ]
    with open(path, "w", newline="") as f:
        f.write(eol.join(out) + eol)
    return at


def make_env(root, shape="headless"):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZK40_HEADLESS"):
        env.pop(name, None)
    if shape != "headless":
        env["QT_QPA_PLATFORM"] = "offscreen"
    for name in ("XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"):
        d = os.path.join(root, name.lower())
        os.makedirs(d, mode=0o700, exist_ok=True)
        env[name] = d
    env["ZK40_NO_START_DELAY"] = "1"
    return env


def start_minimized(build, env):
    # base\Flags bit 4: start minimised (bit 2, hide when minimised, needs
    # a tray, which the offscreen platform has not).
    subprocess.run([os.path.join(build, "zk40-reg"), "add", PRODUCT + "\\base", "/v", "Flags",
                    "/t", "REG_DWORD", "/d", "16", "/f"], env=env, check=True,
                   stdout=subprocess.DEVNULL)


def fill_store(build, env, root, jobs):
    reg = os.path.join(root, "jobs.reg")
    at = write_reg_file(reg, jobs)
    t0 = time.monotonic()
    subprocess.run([os.path.join(build, "zk40-reg"), "import", reg], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    took = time.monotonic() - t0
    # The connection question of a first windowed start answered as "none":
    # the figures are of a program in use, not of one waiting for a reply.
    subprocess.run([os.path.join(build, "zk40-reg"), "add", PRODUCT + "\\base", "/v", "ConnType",
                    "/t", "REG_DWORD", "/d", "0", "/f"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    actions = os.path.join(env["XDG_DATA_HOME"], "zarkell40", "actions")
    os.makedirs(actions, exist_ok=True)
    shutil.copyfile(os.path.join(build, "modules", "zk40_runprogram.so"),
                    os.path.join(actions, MODULE_FILE))
    return at, took


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15; fields[0] here is field 3.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def memory_kb(pid):
    """VmRSS and its anonymous and file-backed parts (shared libraries and
    the like), in kB."""
    got = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "VmHWM"):
                got[name] = int(rest.split()[0])
    return got


class Run:
    """One start of the program, read up to its first tick."""

    def __init__(self, build, env, timeout):
        self.output = b""
        self.start = time.monotonic()
        self.proc = subprocess.Popen([os.path.join(build, "zarkell40")], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        fd = self.proc.stderr.fileno()
        deadline = self.start + timeout
        while READY_LINE not in self.output:
            left = deadline - time.monotonic()
            if left <= 0 or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("no first tick (exit %s) after %.1f s; stderr:\n%s" %
                                   (self.proc.returncode, time.monotonic() - self.start,
                                    self.output.decode(errors="replace")[-2000:]))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    continue
                self.output += chunk
        self.first_tick = time.monotonic() - self.start
        mem = memory_kb(self.proc.pid)
        self.rss_kb = mem.get("VmRSS", 0)
        self.anon_kb = mem.get("RssAnon", 0)
        self.file_kb = mem.get("RssFile", 0)

    def drain(self):
        # Keeps the pipe from filling while the program idles.
        fd = self.proc.stderr.fileno()
        while select.select([fd], [], [], 0)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self.output += chunk

    def idle_cpu(self, seconds, settle):
        """CPU seconds used over the whole window after the first tick, and
        over its part after the first `settle` seconds (start-up work that
        runs after the first tick is over by then)."""
        start = time.monotonic()
        before = cpu_seconds(self.proc.pid)
        settled = None
        end = start + seconds
        while time.monotonic() < end:
            now = time.monotonic()
            if settled is None and now - start >= settle:
                settled = (now, cpu_seconds(self.proc.pid))
            time.sleep(min(0.5, max(0.0, end - now)))
            self.drain()
        after = cpu_seconds(self.proc.pid)
        steady = None
        if settled is not None and time.monotonic() > settled[0]:
            steady = (after - settled[1], time.monotonic() - settled[0])
        return after - before, steady

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rest, _ = self.proc.communicate(timeout=60)
            self.output += rest or b""
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
        return self.proc.returncode


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build", nargs="?", default="build", help="build folder (default: build)")
    ap.add_argument("--jobs", type=int, default=10000, help="jobs to load (default 10000)")
    ap.add_argument("--runs", type=int, default=3, help="starts to measure (default 3)")
    ap.add_argument("--idle", type=float, default=60.0,
                    help="seconds of idle CPU measurement after the first tick (default 60; "
                    "0 skips it)")
    ap.add_argument("--settle", type=float, default=10.0,
                    help="seconds after the first tick before the steady idle figure starts "
                    "(default 10)")
    ap.add_argument("--timeout", type=float, default=300.0,
                    help="seconds to wait for the first tick (default 300)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--shape", choices=("headless", "window", "minimized"), default="headless",
                    help="headless (default), the window offscreen, or the window minimised")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    root = tempfile.mkdtemp(prefix="zk40-process-")
    failed = False
    try:
        env = make_env(root, args.shape)
        at, took = fill_store(build, env, root, args.jobs)
        if args.shape == "minimized":
            start_minimized(build, env)
        print("store: %d jobs x %d actions, daily at %s, imported in %.1f s (%s); shape %s" %
              (args.jobs, ACTIONS_PER_JOB, at.strftime("%H:%M"), took, root, args.shape),
              flush=True)
        ticks, rss = [], []
        for i in range(args.runs):
            run = Run(build, env, args.timeout)
            ticks.append(run.first_tick)
            rss.append(run.rss_kb)
            line = "run %d: first tick %.3f s, VmRSS %.1f MB (anon %.1f, file %.1f)" % (
                i + 1, run.first_tick, run.rss_kb / 1024, run.anon_kb / 1024, run.file_kb / 1024)
            if i == args.runs - 1 and args.idle > 0:
                used, steady = run.idle_cpu(args.idle, args.settle)
                line += ", idle CPU %.3f s in %.0f s = %.2f CPU s/hour" % (
                    used, args.idle, used * 3600 / args.idle)
                if steady:
                    line += " (after the first %.0f s: %.3f s in %.0f s = %.2f CPU s/hour)" % (
                        args.settle, steady[0], steady[1], steady[0] * 3600 / steady[1])
                # At rest: once the start-up work after the first tick is over.
                rest = memory_kb(run.proc.pid)
                line += ", at rest VmRSS %.1f MB (anon %.1f, file %.1f), peak VmHWM %.1f MB" % (
                    rest.get("VmRSS", 0) / 1024, rest.get("RssAnon", 0) / 1024,
                    rest.get("RssFile", 0) / 1024, rest.get("VmHWM", 0) / 1024)
            rc = run.stop()
            line += ", exit %s" % rc
            print(line, flush=True)
            if rc != 0:
                failed = True
                sys.stderr.write(run.output.decode(errors="replace")[-2000:] + "\n")
        print("median of %d: first tick %.3f s, VmRSS %.1f MB" %
              (len(ticks), statistics.median(ticks), statistics.median(rss) / 1024))
    finally:
        if args.keep:
            print("kept %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
