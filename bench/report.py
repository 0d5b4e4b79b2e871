#!/usr/bin/env python3
"""Turns the records of one bench run into the table.

Input: a run directory holding *.tsv files of records
(BENCH <figure> <case> <series> <value> <unit>, one per repetition, and
NOTE <figure> <text>), Google Benchmark's native.json and the peer's output
in stress-ng.THREADS.ROUND.log. Each row's ratio is product / baseline in the
row's own unit; the baseline is the baseline series with the best median.
Every bench program takes its repetitions in turns (product, baselines,
product, ...), so the k-th records of two series were taken side by side:
"Ratio, median" is the median of those paired ratios and "Spread" their
middle half (25th to 75th percentile). Series of unequal counts fall back to
median over median, with no spread.

With --previous DIR (the run before, which tools/bench.sh keeps), each row
also shows that run's ratio, and the store rows are checked to agree within
5 %."""
import argparse
import json
import pathlib
import re
import statistics

# figure number, title, record figure, cases, baselines (None: every series
# but the product and the extras), higher is better, goal, extras shown
# beside the ratio. The fill rows take every fill the bench wrote, so that a
# fill added there is a baseline here without a second list to keep.
SIZES = ["64MiB", "256MiB", "1024MiB"]
ROWS = [
    (1, "Access-load pass, Wine (the window)", "fill.wine", SIZES, None, True, (">=", 0.95), []),
    (1, "Access-load pass, native (torvane-run)", "fill.native", SIZES, None, True, (">=", 0.95), []),
    (1, "Access-load pass, --workers 2, Wine (torvane-run)", "fill2.wine", SIZES, None, True, (">=", 0.95), []),
    (1, "Access-load pass, --workers 2, native (torvane-run)", "fill2.native", SIZES, None, True, (">=", 0.95), []),
    (1, "Access-load pass, --workers auto, native (torvane-run)", "fillauto.native", SIZES, None, True, (">=", 0.95), []),
    (2, "Timer-driven load, Wine", "timer", ["256MiB", "1024MiB", "4096MiB"], ["possible"], True, None, ["written"]),
    (3, "Physical-mode take, Wine", "take.physical", ["256MiB", "1024MiB"], None, True, (">=", 0.90), []),
    (3, "Physical-mode take, native (torvane-run)", "take.native", ["256MiB", "1024MiB"], None, True, (">=", 0.90), []),
    (4, "Normal-mode take+release, Wine", "take.normal", ["1MiB", "256MiB", "4096MiB"], ["malloc+free"], False, ("<=", 1.10), ["commit-limit query"]),
    (5, "Allocation test to 2 GiB, Wine", "alloctest.wine", ["2GiB normal", "2GiB physical", "2GiB normal, panel's figures", "2GiB physical, panel's figures"], ["pauses"], False, ("<=", 1.10), ["pause", "steps alone", "figures alone", "texts alone, unpainted"]),
    (5, "Allocation test to 2 GiB, native", "alloctest.native", ["2GiB normal"], ["pauses"], False, ("<=", 1.10), []),
    (6, "Script reader, native", "reader", ["lines"], ["fgets-strtok"], True, None, []),
    (6, "Script reader peak RSS, native", "reader.rss", ["1 GB script"], ["fgets-strtok"], False, None, ["product, 1 MB script"]),
    (7, "Against stress-ng, 1 GiB, equal threads", "peer", ["1 thread, native", "1 thread, Wine", "2 threads, native"], ["stress-ng"], True, (">=", 1.0), []),
    (8, "Start-up to visible window, Wine", "startup", ["window visible"], ["minimal window"], False, ("<=", 1.20), ["self-check", "minimal + imports", "minimal + 22 controls"]),
    (9, "Hold take, start to \"reached\", native (torvane-run)", "hold.take", ["256MiB", "1024MiB"], None, True, (">=", 0.90), ["own line", "start to first line", "baselines' start"]),
    (10, "Keep-available settling, in intervals, native (torvane-run)", "keep.settle", ["competitor takes 300 MiB", "competitor frees 300 MiB"], ["interval"], False, ("<=", 3.0), ["competitor's step", "from the step's start"]),
    (10, "Keep-available room in band, share of 10 ms samples, native (torvane-run)", "keep.spread", ["competitor holding 300 MiB", "competitor gone"], ["samples"], True, (">=", 0.95), ["room lowest", "room highest"]),
    (10, "Keep-available settling, in intervals, Wine (torvane-run)", "keep.settle.wine", ["competitor takes 300 MiB", "competitor frees 300 MiB"], ["interval"], False, ("<=", 3.0), ["competitor's step", "from the step's start", "figure's lag"]),
    (10, "Keep-available room in band, share of 10 ms samples, Wine (torvane-run)", "keep.spread.wine", ["competitor holding 300 MiB", "competitor gone"], ["samples"], True, (">=", 0.95), ["room lowest", "room highest", "figure's lag"]),
    (11, "Access-load pass with --metrics scraped every 100 ms, native (torvane-run)", "metrics.scrape", ["1GiB, 1 worker"], ["without"], True, (">=", 0.98), ["scrapes answered"]),
    (12, "--pressure some=10% settling, in windows, native (torvane-run)", "pressure.settle", ["some=10% in a 700 MiB group"], ["window"], False, ("<=", 4.0), []),
    (12, "--pressure windows in band after settling, share, native (torvane-run)", "pressure.band", ["some=10% in a 700 MiB group"], ["windows"], True, (">=", 0.80), []),
    (12, "--pressure largest share after settling, over the target, native (torvane-run)", "pressure.overshoot", ["some=10% in a 700 MiB group"], ["target"], False, None, []),
    (13, "--kind take, start to \"reached\", against dd writing the same file, native (torvane-run)", "kind.take", ["file, 1GiB", "shmem, 1GiB"], ["dd"], True, (">=", 0.90), []),
    (14, "--content random written, against the fill pass, native (torvane-run)", "content.random", ["256MiB", "1024MiB"], ["fill"], True, (">=", 0.7), []),
    (15, "--touch, processor s per GiB-minute kept warm, against the peer's cheapest, native (torvane-run)", "warm.cpu", ["--touch, 1GiB"], None, False, ("<=", 0.10), ["bare touch loop"]),
    (15, "-a and --access-rate, processor s per GiB-minute kept warm, against the peer's cheapest, native (torvane-run)", "warm.cpu", ["-a --access-rate 1G/s, 1GiB", "-a, 1GiB"], None, False, None, []),
    (16, "--access-rate 1G/s written, against the rate asked, native (torvane-run)", "warm.rate", ["1G/s, 1GiB"], ["asked"], True, (">=", 0.95), []),
]

# The rows whose two quiet runs must agree within AGREEMENT.
STORE_ROWS = {1, 3, 7, 9}
AGREEMENT = 0.05

# The peer's runs by thread count, and the product's cases each one pairs with.
PEER_CASES = {"1": ["1 thread, native", "1 thread, Wine"], "2": ["2 threads, native"]}

MIB = 1048576


def stress_ng_gigabytes_per_second(text):
    """GB/s written by stress-ng's vm stressor, from its --metrics line: the
    real-time bogo-ops a second, one bogo-op of write64 being 1 MiB."""
    for line in text.splitlines():
        fields = line.split()
        if "metrc:" in fields and "vm" in fields:
            numbers = fields[fields.index("vm") + 1:]
            if len(numbers) >= 5 and re.fullmatch(r"[\d.]+", numbers[4]):
                return float(numbers[4]) * MIB / 1e9
    return None


def read_records(run):
    records, notes = {}, []

    def add(figure, case, series, value, unit):
        records.setdefault((figure, case, series), ([], unit))[0].append(value)

    def note(figure, text):
        if (figure, text) not in notes:
            notes.append((figure, text))

    for path in sorted(run.glob("*.tsv")):
        for line in path.read_text(errors="replace").splitlines():
            parts = line.rstrip("\r").split("\t")
            if parts[0] == "BENCH" and len(parts) == 6:
                add(parts[1], parts[2], parts[3], float(parts[4]), parts[5])
            elif parts[0] == "NOTE" and len(parts) == 3:
                note(parts[1], parts[2])
    native = run / "native.json"
    if native.exists():
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
        for b in json.loads(native.read_text()).get("benchmarks", []):
            if b.get("run_type") != "iteration":
                continue
            if b.get("error_occurred"):
                note(b["name"].split("/")[0], b.get("error_message", "error"))
                continue
            figure, case, series = b["name"].split("/")[:3]
            if b.get("label"):
                note(figure, f"{case}: {b['label']}")
            counters = [key for key in b if "|" in key]
            for key in counters:  # "unit|series": one entrant of a round
                unit, name = key.split("|", 1)
                add(figure, case, name, b[key], unit)
            if counters:
                continue
            if "bytes_per_second" in b:
                add(figure, case, series, b["bytes_per_second"] / 1e9, "GB/s")
            elif "items_per_second" in b:
                add(figure, case, series, b["items_per_second"] / 1e6, "M lines/s")
            else:
                add(figure, case, series, b["real_time"] * scale[b["time_unit"]], "s")
            if "floor_s" in b:
                add(figure, case, "pauses", b["floor_s"], "s")
    # stress-ng.THREADS.ROUND.log, in round order: each round's figure beside
    # the product's runs of the same round.
    peer_logs = []
    for path in run.glob("stress-ng.*.log"):
        match = re.fullmatch(r"stress-ng\.(\d+)\.(\d+)\.log", path.name)
        if match:
            peer_logs.append((match.group(1), int(match.group(2)), path))
    for threads, _, path in sorted(peer_logs):
        rate = stress_ng_gigabytes_per_second(path.read_text(errors="replace"))
        if rate is None:
            note("peer", f"no metrics line from stress-ng in {path.name}")
            continue
        for case in PEER_CASES.get(threads, []):
            add("peer", case, "stress-ng", rate, "GB/s")
    return records, notes


def quartiles(values):
    if len(values) == 1:
        return values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def summarize(records, figure, case, baselines, higher, extras):
    """One row's figures, or None when the product or every baseline is missing."""
    product = records.get((figure, case, "product"))
    names = baselines
    if names is None:
        names = [s for (f, c, s) in records if (f, c) == (figure, case) and s != "product" and s not in extras]
    candidates = [(s, records[(figure, case, s)][0]) for s in names if (figure, case, s) in records]
    if not product or not candidates:
        return None
    best = max if higher else min
    values, unit = product
    name, base_values = best(candidates, key=lambda c: statistics.median(c[1]))
    spread = None
    if len(values) == len(base_values):
        # Repetitions taken side by side: the median of their ratios.
        ratios = [p / b for p, b in zip(values, base_values)]
        median_ratio = statistics.median(ratios)
        spread = quartiles(ratios)
    else:
        median_ratio = statistics.median(values) / statistics.median(base_values)
    return {
        "product": statistics.median(values),
        "product_spread": quartiles(values),
        "unit": unit,
        "count": len(values),
        "baseline": name,
        "baseline_median": statistics.median(base_values),
        "baseline_spread": quartiles(base_values),
        "median_ratio": median_ratio,
        "spread": spread,
        "min_time_ratio": best(values) / best(best(v) for _, v in candidates),
        "extras": [(e, statistics.median(records[(figure, case, e)][0]), records[(figure, case, e)][1])
                   for e in extras if (figure, case, e) in records],
    }


def meets(goal, ratio):
    return ratio >= goal[1] if goal[0] == ">=" else ratio <= goal[1]


def fmt(value):
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.3g}" if value < 1 else f"{value:.2f}"


def goal_text(goal):
    return f"{'≥' if goal[0] == '>=' else '≤'} {goal[1]:.2f}"


def rows_of(records):
    """(number, title, case, goal, summary or None) for every row of the table."""
    for number, title, figure, cases, baselines, higher, goal, extras in ROWS:
        for case in cases:
            yield number, title, figure, case, goal, summarize(records, figure, case, baselines, higher, extras)


def limit_line(figure, row, goal):
    """What limits a missed row, from the run's own figures."""
    extras = {e: (v, u) for e, v, u in row["extras"]}
    if figure.startswith("alloctest") and "steps alone" in extras:
        steps = extras["steps alone"][0]
        pauses = row["product"] / row["median_ratio"]
        text = f"the steps' own allocations alone take {fmt(steps)} s, {steps / pauses:.3f} of the pauses"
        if "figures alone" in extras:
            text += f"; the panel's per-step figures alone {fmt(extras['figures alone'][0])} s"
        if "texts alone, unpainted" in extras:
            texts = extras["texts alone, unpainted"][0]
            text += f"; their texts alone, set into hidden controls, {fmt(texts)} s, {texts / pauses:.3f} of the pauses"
        return text
    if figure == "startup" and "minimal + imports" in extras:
        minimal = row["baseline_median"]
        return (f"a minimal window with the product's imports takes {fmt(extras['minimal + imports'][0])} ms, "
                f"{extras['minimal + imports'][0] / minimal:.2f} of the minimal one; the self-check "
                f"{fmt(extras.get('self-check', (0, ''))[0])} ms")
    if figure == "hold.take" and "start to first line" in extras and "baselines' start" in extras:
        extra = extras["start to first line"][0] - extras["baselines' start"][0]
        return f"torvane-run's start to its first line is {fmt(extra * 1e3)} ms more than a minimal process's"
    if figure == "warm.cpu" and "bare touch loop" in extras:
        bare = extras["bare touch loop"][0]
        return (f"a bare loop touching each page of 1 GiB once a second, and nothing else, takes {fmt(bare)} "
                f"{row['unit']}, {bare / row['baseline_median']:.3f} of {row['baseline']} and "
                f"{bare / row['product']:.2f} of --touch")
    if figure.endswith(".wine") and figure.startswith("keep.") and "figure's lag" in extras:
        lag = extras["figure's lag"][0]
        return (f"with no keeper, Windows' available memory showed the competitor's own 300 MiB step "
                f"{fmt(lag)} s after it (median; steps it had not shown within 10 s "
                f"are in the notes): the keeper reads that figure")
    p25, p75 = row["product_spread"]
    b25, b75 = row["baseline_spread"]
    text = (f"the product {fmt(p25)} to {fmt(p75)} {row['unit']} against {row['baseline']} {fmt(b25)} to "
            f"{fmt(b75)} {row['unit']} over the same repetitions")
    if row["spread"] and meets(goal, row["spread"][1] if goal[0] == ">=" else row["spread"][0]):
        text += "; the goal lies within the ratio's own spread"
    return text


def table(records, previous=None):
    header = ["#", "Figure", "Case", "Product, median", "Baseline, median", "Ratio, median",
              "Spread (p25–p75)", "Goal", "Also measured"]
    if previous is not None:
        header.append("Earlier run")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    earlier = {}
    if previous is not None:
        earlier = {(title, case): row for _, title, _, case, _, row in rows_of(previous)}
    for number, title, figure, case, goal, row in rows_of(records):
        if row is None:
            lines.append(f"| {number} | {title} | {case} | not measured |" + " |" * (len(header) - 4))
            continue
        verdict = ""
        if goal:
            verdict = f"{goal_text(goal)} {'met' if meets(goal, row['median_ratio']) else '**missed**'}"
        also = "; ".join(f"{e} {fmt(v)} {u}" for e, v, u in row["extras"])
        spread = f"{row['spread'][0]:.3f}–{row['spread'][1]:.3f}" if row["spread"] else "unpaired"
        cells = [str(number), title, case, f"{fmt(row['product'])} {row['unit']} (n={row['count']})",
                 f"{row['baseline']}: {fmt(row['baseline_median'])} {row['unit']}", f"{row['median_ratio']:.3f}",
                 spread, verdict, also]
        if previous is not None:
            before = earlier.get((title, case))
            cells.append(f"{before['median_ratio']:.3f}" if before else "")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def limits(records):
    """One line for each missed row: what limits it, from this run's figures."""
    out = []
    for number, title, figure, case, goal, row in rows_of(records):
        if row and goal and not meets(goal, row["median_ratio"]):
            out.append(f"- {number}, {title}, {case} ({row['median_ratio']:.3f}): {limit_line(figure, row, goal)}")
    return out


def agreement(records, previous):
    """The store rows of two runs side by side: (lines, all within AGREEMENT)."""
    before = {(title, case): row for _, title, _, case, _, row in rows_of(previous)}
    out, agree = [], True
    for number, title, _, case, _, row in rows_of(records):
        if number not in STORE_ROWS or row is None or (title, case) not in before or before[(title, case)] is None:
            continue
        earlier = before[(title, case)]
        then, now = earlier["median_ratio"], row["median_ratio"]
        change = now / then - 1
        if abs(change) > AGREEMENT:
            agree = False
            # The baseline holds no product code: how far it moved is how far
            # the machine's own speed moved between the runs.
            moved = row["baseline_median"] / earlier["baseline_median"] - 1
            out.append(f"- {number}, {title}, {case}: {then:.3f} then, {now:.3f} now ({change:+.1%}); "
                       f"the best baseline {earlier['baseline']} {fmt(earlier['baseline_median'])} then, "
                       f"{row['baseline']} {fmt(row['baseline_median'])} {row['unit']} now ({moved:+.1%})")
    return out, agree


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", type=pathlib.Path)
    parser.add_argument("--previous", type=pathlib.Path, help="the run before, to set beside this one")
    args = parser.parse_args()
    records, notes = read_records(args.run)
    previous = None
    if args.previous and args.previous.is_dir():
        previous, _ = read_records(args.previous)
    out = [table(records, previous)]
    missed = limits(records)
    if missed:
        out += ["", "What limits the rows that miss their goal, from this run's figures:"] + missed
    if previous is not None:
        moved, agree = agreement(records, previous)
        header = args.previous / "header.txt"
        out += ["", "Earlier run: " + (header.read_text().strip() if header.exists() else str(args.previous))]
        if agree:
            out.append(f"The store rows ({', '.join(map(str, sorted(STORE_ROWS)))}) of the two runs agree within "
                       f"{AGREEMENT:.0%}.")
        else:
            out.append(f"Store rows that moved more than {AGREEMENT:.0%} between the two runs:")
            out += moved
    if notes:
        out += ["", "Notes from the run:"] + [f"- {figure}: {text}" for figure, text in notes]
    print("\n".join(out))


if __name__ == "__main__":
    main()
