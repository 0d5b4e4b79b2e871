#!/usr/bin/env python3
"""Turns the records of one bench run into the table.

Input: a run directory holding *.tsv files of records
(BENCH <figure> <case> <series> <value> <unit>, one per repetition, and
NOTE <figure> <text>), Google Benchmark's native.json and stress-ng's
output in stress-ng.log. Each row's ratio is product / baseline in the row's
own unit; the baseline is the baseline series with the best median.
"Ratio, median" is the median of the ratios of repetitions taken side by side
(or of the medians, where the counts differ); "min time" takes every series
at its fastest repetition (highest rate, lowest time)."""
import json
import pathlib
import re
import statistics
import sys

# figure number, title, record figure, cases, baselines (None: every series
# but the product and the extras), higher is better, goal, extras shown
# beside the ratio.
ROWS = [
    (1, "Access-load pass, Wine", "fill.wine", ["64MiB", "256MiB", "1024MiB"], ["memset", "rep-stosb", "stream"], True, (">=", 0.95), []),
    (1, "Access-load pass, native (torvane-run)", "fill.native", ["64MiB", "256MiB", "1024MiB"], ["memset", "rep-stosb", "stream"], True, (">=", 0.95), []),
    (1, "Access-load pass, 2 workers, native (torvane-run)", "fill2.native", ["64MiB", "256MiB", "1024MiB"], ["memset x2", "rep-stosb x2", "stream x2"], True, (">=", 0.95), []),
    (2, "Timer-driven load, Wine", "timer", ["256MiB", "1024MiB", "4096MiB"], ["possible"], True, None, ["written"]),
    (3, "Physical-mode take, Wine", "take.physical", ["256MiB", "1024MiB"], None, True, (">=", 0.90), []),
    (3, "Physical-mode take, native (torvane-run)", "take.native", ["256MiB", "1024MiB"], None, True, (">=", 0.90), []),
    (4, "Normal-mode take+release, Wine", "take.normal", ["1MiB", "256MiB", "4096MiB"], ["malloc+free"], False, ("<=", 1.10), ["commit-limit query"]),
    (5, "Allocation test to 2 GiB, Wine", "alloctest.wine", ["2GiB normal", "2GiB physical"], ["pauses"], False, ("<=", 1.10), ["pause", "steps alone"]),
    (5, "Allocation test to 2 GiB, native", "alloctest.native", ["2GiB normal"], ["pauses"], False, ("<=", 1.10), []),
    (6, "Script reader, native", "reader", ["lines"], ["fgets-strtok"], True, None, []),
    (6, "Script reader peak RSS, native", "reader.rss", ["1 GB script"], ["fgets-strtok"], False, None, ["product, 1 MB script"]),
    (7, "Against stress-ng (1 GiB)", "peer", ["native", "wine"], ["stress-ng"], True, (">=", 2.0), []),
    (8, "Start-up to visible window, Wine", "startup", ["window visible"], ["minimal window"], False, ("<=", 1.20), ["self-check", "minimal + imports", "minimal + 22 controls"]),
    (9, "Hold take, start to \"reached\", native (torvane-run)", "hold.take", ["256MiB", "1024MiB"], None, True, (">=", 0.90), ["own line", "start to first line", "baselines' start"]),
    (10, "Keep-available settling, in intervals, native (torvane-run)", "keep.settle", ["competitor takes 1 GiB", "competitor frees 1 GiB"], ["interval"], False, ("<=", 3.0), ["competitor's step", "from the step's start"]),
    (10, "Keep-available room in band, share of 10 ms samples, native (torvane-run)", "keep.spread", ["competitor holding 1 GiB", "competitor gone"], ["samples"], True, (">=", 0.95), ["room lowest", "room highest"]),
]

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

    for path in sorted(run.glob("*.tsv")):
        for line in path.read_text(errors="replace").splitlines():
            parts = line.rstrip("\r").split("\t")
            if parts[0] == "BENCH" and len(parts) == 6:
                add(parts[1], parts[2], parts[3], float(parts[4]), parts[5])
            elif parts[0] == "NOTE" and len(parts) == 3:
                if (parts[1], parts[2]) not in notes:
                    notes.append((parts[1], parts[2]))
    native = run / "native.json"
    if native.exists():
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
        for b in json.loads(native.read_text()).get("benchmarks", []):
            if b.get("run_type") != "iteration":
                continue
            if b.get("error_occurred"):
                notes.append((b["name"].split("/")[0], b.get("error_message", "error")))
                continue
            figure, case, series = b["name"].split("/")[:3]
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
    peer = run / "stress-ng.log"
    if peer.exists():
        rate = stress_ng_gigabytes_per_second(peer.read_text(errors="replace"))
        if rate is None:
            notes.append(("peer", "no metrics line from stress-ng"))
        else:  # the same peer figure beside both of the product's
            add("peer", "native", "stress-ng", rate, "GB/s")
            add("peer", "wine", "stress-ng", rate, "GB/s")
    return records, notes


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
    if len(values) == len(base_values):
        # Repetitions taken side by side: the median of their ratios.
        median_ratio = statistics.median(p / b for p, b in zip(values, base_values))
    else:
        median_ratio = statistics.median(values) / statistics.median(base_values)
    return {
        "product": statistics.median(values),
        "unit": unit,
        "count": len(values),
        "baseline": name,
        "baseline_median": statistics.median(base_values),
        "median_ratio": median_ratio,
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


def table(records):
    lines = [
        "| # | Figure | Case | Product, median | Baseline, median | Ratio, median | Ratio, min time | Goal | Also measured |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for number, title, figure, cases, baselines, higher, goal, extras in ROWS:
        for case in cases:
            row = summarize(records, figure, case, baselines, higher, extras)
            if row is None:
                lines.append(f"| {number} | {title} | {case} | not measured | | | | | |")
                continue
            verdict = ""
            if goal:
                sign = "≥" if goal[0] == ">=" else "≤"
                verdict = f"{sign} {goal[1]:.2f} {'met' if meets(goal, row['median_ratio']) else '**missed**'}"
            also = "; ".join(f"{e} {fmt(v)} {u}" for e, v, u in row["extras"])
            lines.append(
                f"| {number} | {title} | {case} | {fmt(row['product'])} {row['unit']} (n={row['count']}) "
                f"| {row['baseline']}: {fmt(row['baseline_median'])} {row['unit']} | {row['median_ratio']:.3f} "
                f"| {row['min_time_ratio']:.3f} | {verdict} | {also} |"
            )
    return "\n".join(lines)


def main():
    run = pathlib.Path(sys.argv[1])
    records, notes = read_records(run)
    out = [table(records)]
    if notes:
        out.append("")
        out.append("Notes from the run:")
        out.extend(f"- {figure}: {text}" for figure, text in notes)
    print("\n".join(out))


if __name__ == "__main__":
    main()
