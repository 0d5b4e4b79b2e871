#!/usr/bin/env python3
"""What keeping 1 GiB warm costs, against the peer's ways of doing it.
    warm_bench.py TORVANE_RUN [SECONDS] [ROUNDS] [TOUCH_FLOOR]
Each entrant holds 1 GiB; once it holds it (torvane-run: two seconds after
its hold-reached event; the peer: three seconds after its start, which its
take needs well within), the processor time of its whole process tree is read from
/proc/PID/stat, again SECONDS later (default 15), and the entrant is ended
by its PID. Entrants take turns, the order turned round each round:
  --touch                  torvane-run --hold 1G --touch
  -a --access-rate 1G/s    torvane-run --hold 1G -a --access-rate 1G/s
  -a                       torvane-run --hold 1G -a
  stress-ng --vm-keep      stress-ng --vm 1 --vm-bytes 1G --vm-keep --vm-method write64
  stress-ng --memrate 1G/s stress-ng --memrate 1 --memrate-bytes 1G --memrate-wr-mbs 1024 --memrate-rd-mbs 1024
  bare touch loop          TOUCH_FLOOR (bench_touch_floor), when given: the
                           machine's own cost of one access a page a second
BENCH lines:
  warm.cpu   processor seconds per GiB-minute kept warm, each torvane-run way
             as a case beside both peers (the goal: --touch at most 0.1 of
             the peer's cheapest); the bare touch loop is a series of the
             --touch case, shown beside it
  warm.rate  --access-rate 1G/s: the rate its own end event says it wrote,
             beside the rate asked (the goal: within 5 %)
"""
import json
import os
import signal
import subprocess
import sys
import time

GIB = 1 << 30
MIB = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")
PEER_SETTLE_S = 3.0
# After torvane-run's hold-reached: the first access to each page made
# resident by MADV_POPULATE_WRITE costs about 5 us here (the first touch of
# 1 GiB took 1.2 to 1.5 s, the next 20 ms), which a steady state does not
# pay and the peer, whose take is its own first write, never meets.
PRODUCT_SETTLE_S = 2.0
RATE = "1G/s"


def tree_cpu_seconds(root):
    """utime + stime of `root` and every process below it, in seconds."""
    parents, cpu = {}, {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                text = f.read()
        except OSError:
            continue
        fields = text[text.rindex(")") + 2:].split()
        parents[int(name)] = int(fields[1])
        cpu[int(name)] = (int(fields[11]) + int(fields[12])) / TICK
    total, wanted = 0.0, {root}
    grew = True
    while grew:
        grew = False
        for pid, parent in parents.items():
            if parent in wanted and pid not in wanted:
                wanted.add(pid)
                grew = True
    for pid in wanted:
        total += cpu.get(pid, 0.0)
    return total


def end(process, deadline_s=10.0):
    """SIGTERM to the entrant's own process group (its PID), then SIGKILL."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        return process.communicate(timeout=deadline_s)[0]
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        return process.communicate()[0]


def measure(argv, product, seconds):
    """(processor seconds per GiB-minute, the product's end warm event)."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               start_new_session=True)
    head = []
    try:
        if product:
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                line = process.stdout.readline()
                if not line:
                    raise RuntimeError(f"{argv[0]} ended before holding: " + "".join(head))
                head.append(line)
                if '"hold-reached"' in line:
                    break
            else:
                raise RuntimeError("no hold-reached within 30 s")
            time.sleep(PRODUCT_SETTLE_S)
        else:
            time.sleep(PEER_SETTLE_S)
        before = tree_cpu_seconds(process.pid)
        time.sleep(seconds)
        used = tree_cpu_seconds(process.pid) - before
    finally:
        rest = end(process)
    warm = None
    for line in "".join(head).splitlines() + (rest or "").splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if event.get("event") == "warm":
            warm = event
    return used / (seconds / 60.0), warm


def main():
    run = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 15.0
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    hold = [run, "--json", "--hold", "1G"]
    products = [
        ("--touch, 1GiB", hold + ["--touch"]),
        (f"-a --access-rate {RATE}, 1GiB", hold + ["-a", "--access-rate", RATE]),
        ("-a, 1GiB", hold + ["-a"]),
    ]
    peers = [
        ("stress-ng --vm-keep", ["stress-ng", "--vm", "1", "--vm-bytes", "1G", "--vm-keep", "--vm-method", "write64"]),
        (f"stress-ng --memrate {RATE}", ["stress-ng", "--memrate", "1", "--memrate-bytes", "1G",
                                         "--memrate-wr-mbs", "1024", "--memrate-rd-mbs", "1024"]),
    ]
    for name, argv in peers:
        print(f"NOTE\twarm.cpu\t{name}: `{' '.join(argv)}`")
    entrants = [(name, argv, True) for name, argv in products] + [(name, argv, False) for name, argv in peers]
    floor = sys.argv[4] if len(sys.argv) > 4 else None
    if floor:
        entrants.append(("bare touch loop", [floor], False))
    for round_ in range(rounds):
        order = entrants if round_ % 2 == 0 else list(reversed(entrants))
        results = {}
        for name, argv, product in order:
            results[name] = measure(argv, product, seconds)
        for case, _ in products:
            print(f"BENCH\twarm.cpu\t{case}\tproduct\t{results[case][0]:.4f}\tCPU s/GiB-min")
            for peer, _ in peers:
                print(f"BENCH\twarm.cpu\t{case}\t{peer}\t{results[peer][0]:.4f}\tCPU s/GiB-min")
        if floor:
            print(f"BENCH\twarm.cpu\t--touch, 1GiB\tbare touch loop\t{results['bare touch loop'][0]:.4f}\tCPU s/GiB-min")
        warm = results[f"-a --access-rate {RATE}, 1GiB"][1]
        if warm and warm.get("rate") is not None:
            print(f"BENCH\twarm.rate\t{RATE}, 1GiB\tproduct\t{warm['rate'] / MIB:.1f}\tMiB/s")
            print(f"BENCH\twarm.rate\t{RATE}, 1GiB\tasked\t{warm['rate_asked'] / MIB:.1f}\tMiB/s")
        else:
            print("NOTE\twarm.rate\tthe --access-rate run said no rate")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
