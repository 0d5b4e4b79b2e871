#!/usr/bin/env python3
"""--pressure against a page-cache workload in a throwaway memory cgroup.
    pressure_bench.py TORVANE_RUN [SECONDS]
In a 700 MiB group made as a child of this process's own (v1 or v2; root
only), a workload writes a 500 MiB file from inside the group and re-reads
it in a loop; `torvane-run --pressure some=10% --pressure-from system` runs
in the same group for SECONDS (default 60) with a sample every 250 ms. From
the samples' window shares it prints, as BENCH lines:
  pressure.settle     seconds until the share enters the band and is in it
                      again half a window and a window later, and the
                      window (goal: at most 4 windows)
  pressure.band       windows in band after that, and all windows after it
                      (goal: at least 80 %)
  pressure.overshoot  the highest share after settling, and the target
The group is removed afterwards; the workload and the run are ended by PID.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
TARGET, BAND, WINDOW_S = 0.10, 0.025, 5.0
CASE = "some=10% in a 700 MiB group"

REREADER = """
import os, sys
path = sys.argv[1]
with open(path, 'wb') as f:
    chunk = b'\\0' * (1 << 20)
    for _ in range(500):
        f.write(chunk)
    f.flush()
    os.fsync(f.fileno())
print('ready', flush=True)
while True:
    with open(path, 'rb', buffering=0) as f:
        while f.read(1 << 20):
            pass
"""


def bench(figure, case, series, value, unit):
    print(f"BENCH\t{figure}\t{case}\t{series}\t{value:.9g}\t{unit}", flush=True)


def note(figure, text):
    print(f"NOTE\t{figure}\t{text}", flush=True)


def own_group():
    """The folder of this process's memory group and whether it is v1."""
    path, v1 = None, False
    for line in open("/proc/self/cgroup"):
        _, controllers, rest = line.rstrip("\n").split(":", 2)
        if "memory" in controllers.split(","):
            path, v1 = rest, True
        elif controllers == "" and path is None:
            path = rest
    for line in open("/proc/self/mountinfo"):
        fields = line.split()
        dash = fields.index("-")
        kind, options = fields[dash + 1], fields[dash + 3]
        root, point = fields[3], fields[4]
        if (v1 and kind == "cgroup" and "memory" in options.split(",")) or (not v1 and kind == "cgroup2"):
            if path.startswith(root):
                return point + (path if root == "/" else path[len(root):]), v1
    return None, v1


def analyse(samples, target=TARGET, band=BAND, window=WINDOW_S):
    """(settling seconds or None, windows in band, windows after settling,
    highest share after settling) from (elapsed, share) samples.
    Settled: the first sample in band whose samples half a window and a
    window later are in band too; a share only passing through the band (on
    its way to the first squeeze, or swinging across it) is not settled. The
    windows counted are those after the one that confirmed it."""
    low, high = target - band, target + band
    inside = lambda share: low <= share <= high

    def first_at(i, at):
        return next(((u, s) for u, s in samples[i:] if u >= at), None)

    settled = confirmed = None
    for i, (t, share) in enumerate(samples):
        if not inside(share):
            continue
        half, whole = first_at(i, t + window / 2), first_at(i, t + window)
        if whole is None:
            break
        if inside(half[1]) and inside(whole[1]):
            settled, confirmed = t, whole[0]
            break
    if settled is None:
        return None, 0, 0, max((s for _, s in samples), default=0.0)
    after = [(t, s) for t, s in samples if t >= settled]
    windows, next_at = [], confirmed + window
    for t, share in after:
        if t >= next_at:
            windows.append(share)
            next_at = t + window
    in_band = sum(1 for s in windows if low <= s <= high)
    return settled, in_band, len(windows), max(s for _, s in after)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    torvane, seconds = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 60
    if os.geteuid() != 0:
        note("pressure.settle", "needs root for a throwaway memory cgroup")
        return
    if not os.path.exists("/proc/pressure/memory"):
        note("pressure.settle", "this kernel keeps no stall figures")
        return
    parent, v1 = own_group()
    if parent is None:
        note("pressure.settle", "no memory cgroup is mounted over this process")
        return
    group = f"{parent}/torvane-bench-{os.getpid()}"
    os.mkdir(group)
    workload = run = None
    folder = None
    try:
        with open(f"{group}/memory.limit_in_bytes" if v1 else f"{group}/memory.max", "w") as f:
            f.write(str(700 * MIB))
        join = lambda: open(f"{group}/cgroup.procs", "w").write(str(os.getpid()))
        folder = tempfile.mkdtemp(prefix="torvane_pressure_bench_", dir="/var/tmp")
        workload = subprocess.Popen([sys.executable, "-c", REREADER, f"{folder}/cache"], stdout=subprocess.PIPE,
                                    text=True, preexec_fn=join)
        if workload.stdout.readline().strip() != "ready":
            note("pressure.settle", "the workload did not start")
            return
        run = subprocess.run([torvane, "--json", "--pressure", "some=10%", "--pressure-from", "system",
                              "--sample", "250ms", "--for", f"{seconds}s"], stdout=subprocess.PIPE, text=True,
                             preexec_fn=join, timeout=seconds + 60)
        samples = []
        for line in run.stdout.splitlines():
            event = json.loads(line)
            if event.get("event") == "sample" and isinstance(event.get("pressure_some"), (int, float)):
                samples.append((time.mktime(time.strptime(event["time"][:19], "%Y-%m-%dT%H:%M:%S")) +
                                float("0" + event["time"][19:23]), event["pressure_some"]))
        if not samples:
            note("pressure.settle", f"no samples with a stall share (status {run.returncode})")
            return
        start = samples[0][0]
        settled, in_band, windows, highest = analyse([(t - start, s) for t, s in samples])
        if settled is None:
            note("pressure.settle", f"never settled in band (in it again half a window and a window later) in {seconds} s; highest share {highest:.3f}")
            return
        bench("pressure.settle", CASE, "product", settled, "s")
        bench("pressure.settle", CASE, "window", WINDOW_S, "s")
        bench("pressure.band", CASE, "product", in_band, "windows")
        bench("pressure.band", CASE, "windows", max(windows, 1), "windows")
        bench("pressure.overshoot", CASE, "product", highest * 100, "%")
        bench("pressure.overshoot", CASE, "target", TARGET * 100, "%")
    finally:
        for child in (workload,):
            if child and child.poll() is None:
                os.kill(child.pid, signal.SIGKILL)
                child.wait()
        if folder:
            shutil.rmtree(folder, ignore_errors=True)
        deadline = time.time() + 5
        while time.time() < deadline:
            try:
                os.rmdir(group)
                break
            except OSError:
                time.sleep(0.1)


if __name__ == "__main__":
    main()
