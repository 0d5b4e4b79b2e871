#!/usr/bin/env python3
"""Tests of the bench table's arithmetic and of reading the runs' outputs: a
wrong direction or a wrong pairing would print a plausible table that lies."""
import json
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import report  # noqa: E402


def records(**series):
    """(figure, case, name) -> (values, unit) for figure "f", case "c"."""
    return {("f", "c", name): (list(values), "u") for name, values in series.items()}


def fills(figure, case, product, **rates):
    """One repetition of a fill row: the product and the fills named as the
    bench names them (rep_stosb is "rep-stosb"; a fill2 row's get " x2")."""
    threads = " x2" if figure.startswith("fill2") else ""
    found = {(figure, case, "product"): ([product], "GB/s")}
    for name, rate in rates.items():
        found[(figure, case, name.replace("_", "-") + threads)] = ([rate], "GB/s")
    return found


class Summaries(unittest.TestCase):
    def test_baseline_choice_and_ratios_in_both_directions(self):
        cases = [
            # what, higher is better, series, baseline, median ratio, min-time ratio
            ("rates: the fastest baseline, paired repetitions", True,
             dict(product=[9, 10, 20], slow=[5, 5, 5], fast=[10, 10, 10]), "fast", 1.0, 2.0),
            ("times: the quickest baseline, paired repetitions", False,
             dict(product=[2.2, 2.4, 2.0], slow=[9, 9, 9], quick=[2, 2, 1]), "quick", 1.2, 2.0),
            ("unequal counts: median over median", True,
             dict(product=[4, 6], base=[2, 2, 2]), "base", 2.5, 3.0),
        ]
        for what, higher, series, baseline, median_ratio, min_ratio in cases:
            with self.subTest(what):
                row = report.summarize(records(**series), "f", "c", None, higher, [])
                self.assertEqual(row["baseline"], baseline)
                self.assertAlmostEqual(row["median_ratio"], median_ratio)
                self.assertAlmostEqual(row["min_time_ratio"], min_ratio)

    def test_spread_is_the_middle_half_of_the_paired_ratios(self):
        row = report.summarize(records(product=[8, 9, 10, 11, 12], base=[10] * 5), "f", "c", None, True, [])
        self.assertAlmostEqual(row["median_ratio"], 1.0)
        self.assertEqual(tuple(round(x, 3) for x in row["spread"]), (0.9, 1.1))
        unpaired = report.summarize(records(product=[4, 6], base=[2, 2, 2]), "f", "c", None, True, [])
        self.assertIsNone(unpaired["spread"])

    def test_extras_are_shown_but_never_the_baseline(self):
        row = report.summarize(records(product=[1.0], base=[2.0], pause=[0.001]), "f", "c", None, False, ["pause"])
        self.assertEqual(row["baseline"], "base")
        self.assertEqual(row["extras"], [("pause", 0.001, "u")])

    def test_missing_product_or_baseline_is_not_measured(self):
        self.assertIsNone(report.summarize(records(base=[1]), "f", "c", None, True, []))
        self.assertIsNone(report.summarize(records(product=[1]), "f", "c", ["base"], True, []))

    def test_goals_in_both_directions(self):
        for goal, ratio, met in [((">=", 0.95), 0.95, True), ((">=", 0.95), 0.94, False),
                                 (("<=", 1.10), 1.10, True), (("<=", 1.10), 1.11, False)]:
            with self.subTest(goal=goal, ratio=ratio):
                self.assertEqual(report.meets(goal, ratio), met)


class Table(unittest.TestCase):
    def cells(self, records, title, case):
        rows = [[c.strip() for c in line.split("|")[1:-1]] for line in report.table(records).splitlines()[2:]]
        found = [r for r in rows if r[1] == title and r[2] == case]
        self.assertEqual(len(found), 1, f"{title} / {case}")
        return found[0]

    def test_rows_take_their_own_records_and_goals(self):
        take = "Physical-mode take, native (torvane-run)"
        two_workers = "Access-load pass, --workers 2, native (torvane-run)"
        hold = 'Hold take, start to "reached", native (torvane-run)'
        settle = "Keep-available settling, in intervals, native (torvane-run)"
        spread = "Keep-available room in band, share of 10 ms samples, native (torvane-run)"
        native_take = lambda product: {
            ("take.native", "1024MiB", "product"): (product, "GB/s"),
            ("take.native", "1024MiB", "mmap+MAP_POPULATE"): ([6.0, 6.0], "GB/s"),
            ("take.native", "1024MiB", "mmap+touch"): ([0.3, 0.3], "GB/s"),
        }
        cases = [
            # what, records, row title, case, baseline cell, ratio cell, goal cell
            ("native take below its goal against the fastest way", native_take([5.3, 5.4]),
             take, "1024MiB", "mmap+MAP_POPULATE: 6.00 GB/s", "0.892", "≥ 0.90 **missed**"),
            ("native take meeting its goal", native_take([5.5, 5.6]),
             take, "1024MiB", "mmap+MAP_POPULATE: 6.00 GB/s", "0.925", "≥ 0.90 met"),
            ("native take records are not the Wine row's", native_take([5.5, 5.6]),
             "Physical-mode take, Wine", "1024MiB", "", "", ""),
            ("native take without baselines", {("take.native", "256MiB", "product"): ([6.0], "GB/s")},
             take, "256MiB", "", "", ""),
            ("native access-load pass", fills("fill.native", "64MiB", product=30.0, memset=31.0, stream=20.0),
             "Access-load pass, native (torvane-run)", "64MiB", "memset: 31.0 GB/s", "0.968", "≥ 0.95 met"),
            ("two-worker pass against the best two-thread fill",
             fills("fill2.native", "256MiB", product=38.0, memset=36.0, rep_stosb=40.0),
             two_workers, "256MiB", "rep-stosb x2: 40.0 GB/s", "0.950", "≥ 0.95 met"),
            ("every fill the bench wrote is a candidate, the ordinary stores too",
             fills("fill.native", "1024MiB", product=24.0, memset=20.0, vector=25.0),
             "Access-load pass, native (torvane-run)", "1024MiB", "vector: 25.0 GB/s", "0.960", "≥ 0.95 met"),
            ("the two-thread ordinary stores under Wine too",
             fills("fill2.wine", "1024MiB", product=45.0, memset=40.0, vector=50.0),
             "Access-load pass, --workers 2, Wine (torvane-run)", "1024MiB", "vector x2: 50.0 GB/s", "0.900",
             "≥ 0.95 **missed**"),
            ("hold take against the fastest process of ours; its own line is no baseline",
             {("hold.take", "256MiB", "product"): ([2.7, 2.9], "GB/s"),
              ("hold.take", "256MiB", "mmap+MADV_POPULATE_WRITE"): ([3.0, 3.0], "GB/s"),
              ("hold.take", "256MiB", "mmap+mlock"): ([2.0, 2.0], "GB/s"),
              ("hold.take", "256MiB", "own line"): ([90.0, 90.0], "s")},
             hold, "256MiB", "mmap+MADV_POPULATE_WRITE: 3.00 GB/s", "0.933", "≥ 0.90 met"),
            ("settling counted in intervals, lower is better",
             {("keep.settle", "competitor frees 300 MiB", "product"): ([0.5, 1.0, 0.9], "s"),
              ("keep.settle", "competitor frees 300 MiB", "interval"): ([0.25, 0.25, 0.25], "s"),
              ("keep.settle", "competitor frees 300 MiB", "from the step's start"): ([0.01] * 3, "s")},
             settle, "competitor frees 300 MiB", "interval: 0.25 s", "3.600", "≤ 3.00 **missed**"),
            ("room in band as a share of the samples",
             {("keep.spread", "competitor gone", "product"): ([480.0, 500.0], "samples"),
              ("keep.spread", "competitor gone", "samples"): ([500.0, 500.0], "samples"),
              ("keep.spread", "competitor gone", "room highest"): ([9999.0, 9999.0], "MiB")},
             spread, "competitor gone", "samples: 500 samples", "0.980", "≥ 0.95 met"),
            ("one-thread fills are not the two-worker row's baselines",
             {("fill2.native", "64MiB", "product"): ([30.0], "GB/s"),
              ("fill.native", "64MiB", "memset"): ([31.0], "GB/s")},
             two_workers, "64MiB", "", "", ""),
        ]
        for what, recs, title, case, baseline, ratio, goal in cases:
            with self.subTest(what):
                row = self.cells(recs, title, case)
                if not baseline:
                    self.assertEqual(row[3], "not measured")
                    continue
                self.assertEqual((row[4], row[5], row[7]), (baseline, ratio, goal))


class TwoRuns(unittest.TestCase):
    @staticmethod
    def fill(ratio):
        return {("fill.native", "64MiB", "product"): ([30.0 * ratio] * 3, "GB/s"),
                ("fill.native", "64MiB", "memset"): ([30.0] * 3, "GB/s"),
                ("startup", "window visible", "product"): ([300.0] * 3, "ms"),
                ("startup", "window visible", "minimal window"): ([100.0 * ratio] * 3, "ms")}

    def test_store_rows_agree_within_five_percent_and_others_are_not_judged(self):
        for what, now, agree in [("level", 1.0, True), ("4 % lower", 0.96, True), ("6 % lower", 0.94, False),
                                 ("6 % higher", 1.06, False)]:
            with self.subTest(what):
                moved, ok = report.agreement(self.fill(now), self.fill(1.0))
                self.assertEqual(ok, agree)
                self.assertEqual(len(moved), 0 if agree else 1)  # start-up moved too, but is no store row

    def test_a_moved_row_says_how_far_its_baseline_moved(self):
        earlier = self.fill(1.0)
        now = {("fill.native", "64MiB", "product"): ([36.0] * 3, "GB/s"),
               ("fill.native", "64MiB", "memset"): ([33.0] * 3, "GB/s")}
        moved, ok = report.agreement(now, earlier)
        self.assertFalse(ok)
        self.assertEqual(len(moved), 1, moved)
        self.assertIn("1.000 then, 1.091 now (+9.1%)", moved[0])
        self.assertIn("the best baseline memset 30.0 then, memset 33.0 GB/s now (+10.0%)", moved[0])

    def test_earlier_runs_ratio_beside_each_row(self):
        line = [l for l in report.table(self.fill(0.96), self.fill(1.0)).splitlines()
                if "| Access-load pass, native (torvane-run) | 64MiB |" in l][0]
        cells = [c.strip() for c in line.split("|")[1:-1]]
        self.assertEqual((cells[5], cells[-1]), ("0.960", "1.000"))

    def test_a_missed_row_says_what_limits_it(self):
        recs = {("alloctest.wine", "2GiB physical", "product"): ([2.5] * 3, "s"),
                ("alloctest.wine", "2GiB physical", "pauses"): ([2.2] * 3, "s"),
                ("alloctest.wine", "2GiB physical", "steps alone"): ([0.22] * 3, "s")}
        recs.update({k: v for k, v in self.fill(0.90).items() if k[0] == "fill.native"})
        recs[("fill.native", "256MiB", "product")] = ([30.0] * 3, "GB/s")  # meets its goal: no line
        recs[("fill.native", "256MiB", "memset")] = ([30.0] * 3, "GB/s")
        lines = report.limits(recs)
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(any("0.100 of the pauses" in l for l in lines), lines)
        self.assertTrue(any("the product 27.0 to 27.0 GB/s against memset 30.0 to 30.0" in l for l in lines), lines)

    def test_a_missed_figures_row_says_what_its_texts_cost_unpainted(self):
        case = "2GiB normal, panel's figures"
        recs = {("alloctest.wine", case, "product"): ([3.1] * 3, "s"),
                ("alloctest.wine", case, "pauses"): ([2.0] * 3, "s"),
                ("alloctest.wine", case, "steps alone"): ([0.1] * 3, "s"),
                ("alloctest.wine", case, "figures alone"): ([0.6] * 3, "s"),
                ("alloctest.wine", case, "texts alone, unpainted"): ([0.3] * 3, "s")}
        lines = report.limits(recs)
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("figures alone 0.6 s; their texts alone, set into hidden controls, 0.3 s, 0.150 of the pauses",
                      lines[0])

    def test_a_missed_touch_row_is_set_against_the_bare_loop_not_the_peer(self):
        unit = "CPU s/GiB-min"
        recs = {("warm.cpu", "--touch, 1GiB", "product"): ([0.8] * 3, unit),
                ("warm.cpu", "--touch, 1GiB", "stress-ng --memrate 1G/s"): ([5.0] * 3, unit),
                ("warm.cpu", "--touch, 1GiB", "stress-ng --vm-keep"): ([60.0] * 3, unit),
                ("warm.cpu", "--touch, 1GiB", "bare touch loop"): ([1.0] * 3, unit)}
        row = dict(report.summarize(recs, "warm.cpu", "--touch, 1GiB", None, False, ["bare touch loop"]))
        self.assertEqual(row["baseline"], "stress-ng --memrate 1G/s")
        self.assertAlmostEqual(row["median_ratio"], 0.16)
        lines = report.limits(recs)
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("takes 1.00 CPU s/GiB-min, 0.200 of stress-ng --memrate 1G/s and 1.25 of --touch", lines[0])

    def test_a_missed_wine_keep_row_is_set_against_the_figures_own_lag(self):
        case = "competitor gone"
        recs = {("keep.spread.wine", case, "product"): ([300.0, 400.0, 500.0], "samples"),
                ("keep.spread.wine", case, "samples"): ([500.0] * 3, "samples"),
                ("keep.spread.wine", case, "figure's lag"): ([0.8, 0.9, 3.0], "s"),
                ("keep.spread", case, "product"): ([300.0] * 3, "samples"),
                ("keep.spread", case, "samples"): ([500.0] * 3, "samples")}
        lines = report.limits(recs)
        self.assertEqual(len(lines), 2, lines)
        wine = [line for line in lines if "Wine" in line]
        self.assertEqual(len(wine), 1, lines)
        self.assertIn("step 0.9 s after it", wine[0])
        native = [line for line in lines if "native" in line]
        self.assertNotIn("figure", native[0])


class Inputs(unittest.TestCase):
    def test_stress_ng_metrics_line(self):
        log = (
            "stress-ng: metrc: [1] stressor       bogo ops real time  usr time  sys time   bogo ops/s     bogo ops/s CPU used per       RSS Max\n"
            "stress-ng: metrc: [1]                           (secs)    (secs)    (secs)   (real time) (usr+sys time) instance (%)          (KB)\n"
            "stress-ng: metrc: [1] vm               100341     10.08      5.55      3.20      9953.23       11467.39        86.80       1050252\n"
        )
        self.assertAlmostEqual(report.stress_ng_gigabytes_per_second(log), 9953.23 * 1048576 / 1e9)
        self.assertIsNone(report.stress_ng_gigabytes_per_second("stress-ng: info: [1] dispatching hogs: 1 vm\n"))

    def test_peer_runs_pair_with_the_products_of_their_round(self):
        line = "stress-ng: metrc: [1] vm {ops} 6.0 5.0 1.0 {rate} 10.0 90.0 1050252\n"
        with tempfile.TemporaryDirectory() as tmp:
            run = pathlib.Path(tmp)
            for threads, rnd, rate in [("1", 2, 2000.0), ("1", 10, 3000.0), ("1", 1, 1000.0), ("2", 1, 5000.0)]:
                (run / f"stress-ng.{threads}.{rnd}.log").write_text(line.format(ops=1, rate=rate))
            (run / "stress-ng.1.3.log").write_text("stress-ng: info: no metrics\n")
            got, notes = report.read_records(run)
        mb = 1048576 / 1e9
        one = [round(v / mb) for v in got[("peer", "1 thread, native", "stress-ng")][0]]
        self.assertEqual(one, [1000, 2000, 3000], "rounds in order, 10 after 2")
        self.assertEqual(got[("peer", "1 thread, Wine", "stress-ng")], got[("peer", "1 thread, native", "stress-ng")])
        self.assertEqual([round(v / mb) for v in got[("peer", "2 threads, native", "stress-ng")][0]], [5000])
        self.assertEqual(notes, [("peer", "no metrics line from stress-ng in stress-ng.1.3.log")])

    def test_run_directory(self):
        with tempfile.TemporaryDirectory() as tmp:
            run = pathlib.Path(tmp)
            (run / "wine.tsv").write_text(
                "BENCH\tstartup\twindow visible\tproduct\t300\tms\r\n"
                "NOTE\ttake\tsomething\nNOTE\ttake\tsomething\nnoise from the program\n")
            (run / "native.json").write_text(json.dumps({"benchmarks": [
                {"name": "fill.native/64MiB/rounds/iterations:16", "run_type": "iteration",
                 "GB/s|product": 30.0, "GB/s|memset": 31.0, "real_time": 5, "time_unit": "ms"},
                {"name": "fill.native/64MiB/rounds/iterations:16_median", "run_type": "aggregate",
                 "GB/s|product": 99.0},
                {"name": "alloctest.native/2GiB normal/product/iterations:1", "run_type": "iteration",
                 "real_time": 2500, "time_unit": "ms", "floor_s": 2.25},
                {"name": "reader/lines/product/min_time:0.500", "run_type": "iteration",
                 "items_per_second": 2.5e7, "real_time": 1, "time_unit": "ns"},
                {"name": "reader/lines/fgets-strtok", "run_type": "iteration",
                 "error_occurred": True, "error_message": "script not readable"},
            ]}))
            got, notes = report.read_records(run)
        self.assertEqual(got[("startup", "window visible", "product")], ([300.0], "ms"))
        self.assertEqual(got[("fill.native", "64MiB", "product")], ([30.0], "GB/s"))
        self.assertEqual(got[("fill.native", "64MiB", "memset")], ([31.0], "GB/s"))
        self.assertNotIn(("fill.native", "64MiB", "rounds"), got)
        self.assertEqual(got[("alloctest.native", "2GiB normal", "product")], ([2.5], "s"))
        self.assertEqual(got[("alloctest.native", "2GiB normal", "pauses")], ([2.25], "s"))
        self.assertEqual(got[("reader", "lines", "product")], ([25.0], "M lines/s"))
        self.assertEqual(notes, [("take", "something"), ("reader", "script not readable")])


if __name__ == "__main__":
    unittest.main()
