#!/usr/bin/python3
"""Correction quality on the real tables and on simulated tables with known truth.

Runs every case with every method of methods.py and prints a table of cases x methods. The
headline figure of each case is marked with *. See README.md beside this file.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import methods as methods_module  # noqa: E402
import metrics  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def read_table(path):
    """Values, batch labels and event numbers of one of pairmend's input tables."""
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    return np.ascontiguousarray(table[:, :-2]), table[:, -2].astype(int)


def sample_groups(samples_path, events, name_of):
    """Per event, the biological group (`name_of(file name)`) from a *_samples.csv file."""
    group = np.empty(events, dtype=object)
    with open(samples_path) as handle:
        next(handle)
        for line in handle:
            file, first, last, _ = line.strip().split(",")
            group[int(first) - 1 : int(last)] = name_of(file)
    return group


def subsample(rows_mask, limit, rng):
    """At most `limit` of the rows in the mask, chosen at random (sorted)."""
    rows = np.flatnonzero(rows_mask)
    if limit is None or len(rows) <= limit:
        return rows
    return np.sort(rng.choice(rows, size=limit, replace=False))


class Case:
    """One data set: which events are fitted on, which are corrected, and which figures to report."""

    def __init__(self, name, values, batch, figures, fit_rows=None, settings=None, note="", condition=None):
        self.name = name
        self.values = values
        self.batch = batch
        self.figures = figures  # list of (label, headline, function(corrected) -> float)
        self.fit_rows = fit_rows
        self.settings = settings or {}
        self.note = note
        # Every event's condition, given to the methods that take conditions; None: none.
        self.condition = condition

    def run(self, method):
        method.settings = self.settings
        rows = slice(None) if self.fit_rows is None else self.fit_rows
        extra = {}
        if self.condition is not None and getattr(method, "takes_conditions", False):
            extra = {"condition": list(self.condition[rows])}
        start = time.perf_counter()
        if self.fit_rows is None:
            method.fit(self.values, self.batch, **extra)
        else:
            method.fit(np.ascontiguousarray(self.values[self.fit_rows]), self.batch[self.fit_rows], **extra)
        corrected = method.apply(self.values, self.batch)
        seconds = time.perf_counter() - start
        return {label: function(corrected) for label, _, function in self.figures}, seconds


def cytof_case(data):
    values, batch = read_table(os.path.join(data, "cytof_all.csv"))
    patient = sample_groups(os.path.join(data, "cytof_all_samples.csv"), len(batch), lambda f: f.split("_")[1])
    return Case(
        "cytof_all",
        values,
        batch,
        [
            ("EMD", False, lambda c: metrics.emd(c, batch)),
            ("mixing", True, lambda c: metrics.mixing(c, batch)),
            ("structure kept", True, lambda c: metrics.structure_kept(values, c, batch)),
            ("biology kept", False, lambda c: metrics.biology_kept(values, c, batch, patient)),
        ],
    )


def flow_tables(data):
    values, batch = read_table(os.path.join(data, "flow_wnv_all.csv"))
    infection = sample_groups(os.path.join(data, "flow_wnv_all_samples.csv"), len(batch), lambda f: f.split("_")[0])
    return values, batch, infection


def flow_case(values, batch, infection, neighbour_rows):
    """`neighbour_rows`: the events on which the neighbourhood figures are computed."""
    virus, mock = infection == "Virus", infection == "Mock"
    sub_values, sub_batch = np.ascontiguousarray(values[neighbour_rows]), batch[neighbour_rows]
    return Case(
        "flow_wnv_all",
        values,
        batch,
        [
            ("EMD virus", True, lambda c: metrics.emd(c, batch, virus)),
            ("EMD mock", True, lambda c: metrics.emd(c, batch, mock)),
            ("mixing", False, lambda c: metrics.mixing(c[neighbour_rows], sub_batch)),
            ("structure kept", False, lambda c: metrics.structure_kept(sub_values, c[neighbour_rows], sub_batch)),
            ("biology kept", False, lambda c: metrics.biology_kept(values, c, batch, infection)),
        ],
    )


def flow_b_mock_case(values, batch, infection, fit_mock=False):
    """Batch A whole and batch B's mock mice only. With `fit_mock`, each method learns from the mock
    mice only (the condition both batches hold) and corrects every event; batch A then stays the
    reference by the batch-number merge order, as it is without (the two fitted batches are of
    equal size, so the automatic order could pick either)."""
    keep = (batch == 1) | (infection == "Mock")
    v, b, g = np.ascontiguousarray(values[keep]), batch[keep], infection[keep]
    mock = g == "Mock"
    return Case(
        "flow, B mock only, fit mock" if fit_mock else "flow, B mock only",
        v,
        b,
        [
            ("EMD mock vs mock", True, lambda c: metrics.emd(c, b, mock)),
            ("biology kept (A)", False, lambda c: metrics.biology_kept(v, c, b, g)),
        ],
        fit_rows=np.flatnonzero(mock) if fit_mock else None,
        settings={"automatic_order": False} if fit_mock else None,
    )


def flow_conditions_cases(values, batch, infection):
    """The flow cases with the mice's infection given as the condition: batch B's mock mice only
    (each merge then learns from the mock mice, which both batches hold), and both batches whole."""
    keep = (batch == 1) | (infection == "Mock")
    v, b, g = np.ascontiguousarray(values[keep]), batch[keep], infection[keep]
    mock = g == "Mock"
    virus_all, mock_all = infection == "Virus", infection == "Mock"
    return [
        Case(
            "cond flow, B mock only",
            v,
            b,
            [
                ("EMD mock vs mock", True, lambda c: metrics.emd(c, b, mock)),
                ("biology kept (A)", False, lambda c: metrics.biology_kept(v, c, b, g)),
            ],
            condition=g,
        ),
        Case(
            "cond flow_wnv_all",
            values,
            batch,
            [
                ("EMD virus", True, lambda c: metrics.emd(c, batch, virus_all)),
                ("EMD mock", True, lambda c: metrics.emd(c, batch, mock_all)),
                ("biology kept", False, lambda c: metrics.biology_kept(values, c, batch, infection)),
            ],
            condition=infection,
        ),
    ]


def flow_anchor_case(values, batch, infection):
    virus, mock = infection == "Virus", infection == "Mock"
    return Case(
        "flow anchors (fit mock)",
        values,
        batch,
        [
            ("EMD virus", True, lambda c: metrics.emd(c, batch, virus)),
            ("EMD mock", False, lambda c: metrics.emd(c, batch, mock)),
            ("biology kept", False, lambda c: metrics.biology_kept(values, c, batch, infection)),
        ],
        fit_rows=np.flatnonzero(mock),
    )


def split_case(name, values, rng):
    """One batch split at random into two labels: a table without any batch effect."""
    batch = np.where(rng.random(len(values)) < 0.5, 1, 2)
    return Case(name, values, batch, [("displacement", True, lambda c: metrics.displacement(values, c))])


def simulated_case(name, simulate, folder, flags):
    input_path = os.path.join(folder, name.replace(" ", "_") + ".csv")
    truth_path = input_path.replace(".csv", "_truth.csv")
    subprocess.run([simulate, "--out", input_path, "--truth", truth_path] + flags, check=True)
    values, batch = read_table(input_path)
    truth = np.loadtxt(truth_path, delimiter=",", skiprows=1)
    distorted = batch != 1
    return Case(
        "sim " + name,
        values,
        batch,
        [("RMS error vs truth", True, lambda c: metrics.rms_error(c, truth, distorted))],
        settings={"reference_policy": "Input"},
        note=" ".join(flags),
    )


def simulated_conditions_case(name, simulate, folder, flags, given=True):
    """A simulated study with conditions (the truth table's last column); `given`: whether the
    methods that take conditions are given them."""
    input_path = os.path.join(folder, name.replace(" ", "_").replace(",", "") + ".csv")
    truth_path = input_path.replace(".csv", "_truth.csv")
    subprocess.run([simulate, "--out", input_path, "--truth", truth_path] + flags, check=True)
    values, batch = read_table(input_path)
    table = np.loadtxt(truth_path, delimiter=",", skiprows=1)
    truth, condition = table[:, :-1], table[:, -1].astype(int)
    distorted = batch != 1
    return Case(
        "cond sim " + name,
        values,
        batch,
        [("RMS error vs truth", True, lambda c: metrics.rms_error(c, truth, distorted))],
        settings={"reference_policy": "Input"},
        note=" ".join(flags),
        condition=condition if given else None,
    )


# Three batches, three conditions (the second and third each move one population in two markers).
CONDITION_SIZE = ["--events", "6000", "--dims", "5", "--batches", "3", "--populations", "4", "--seed", "7",
                  "--conditions", "3"]
CONDITION_SIMULATIONS = [
    ("balanced", [], True),
    # Batch 3 lacks the third condition, whose moved population it never holds.
    ("unbalanced", ["--design", "3:1,2"], True),
    ("unbalanced, no conditions", ["--design", "3:1,2"], False),
    # Batch 3 shares only the third condition, with batch 2, which shares the second with batch 1.
    ("bridge", ["--design", "1:1,2", "--design", "2:2,3", "--design", "3:3"], True),
    ("bridge, no conditions", ["--design", "1:1,2", "--design", "2:2,3", "--design", "3:3"], False),
]

SIMULATIONS = [
    # Population shares differ between batches; today's shifts, rescaling and sinusoids.
    ("proportions", ["--proportions", "2:1,1,4,1", "--proportions", "3:4,1,1,1"]),
    # As above, and population 1 is missing from batch 2.
    ("absent", ["--proportions", "3:4,1,1,1", "--absent", "2:1"]),
    # As above, and a monotone non-linear gain curve per channel on top.
    ("gain", ["--proportions", "2:1,1,4,1", "--proportions", "3:4,1,1,1", "--gain", "1.5"]),
]
SIMULATION_SIZE = ["--events", "5000", "--dims", "5", "--batches", "3", "--populations", "4", "--seed", "7"]


def build_cases(args, folder):
    rng = np.random.default_rng(args.seed)
    cases = []
    if os.path.exists(os.path.join(args.data, "cytof_all.csv")):
        cases.append(cytof_case(args.data))
    else:
        print(f"note: {args.data}/cytof_all.csv is missing; its cases are skipped")
    if os.path.exists(os.path.join(args.data, "flow_wnv_all.csv")):
        values, batch, infection = flow_tables(args.data)
        neighbour_rows = np.concatenate(
            [subsample(batch == label, args.neighbour_events, rng) for label in np.unique(batch)]
        )
        cases += [
            flow_case(values, batch, infection, neighbour_rows),
            flow_b_mock_case(values, batch, infection),
            flow_b_mock_case(values, batch, infection, fit_mock=True),
            flow_anchor_case(values, batch, infection),
        ] + flow_conditions_cases(values, batch, infection)
    else:
        values = None
        print(f"note: {args.data}/flow_wnv_all.csv is missing; its cases are skipped")
    if cases and cases[0].name == "cytof_all":
        cytof = cases[0]
        cases.append(split_case("split cytof run 1", np.ascontiguousarray(cytof.values[cytof.batch == 1]), rng))
    if values is not None:
        rows = subsample(batch == 1, args.split_events, rng)
        cases.append(split_case("split flow batch A", np.ascontiguousarray(values[rows]), rng))
    for name, flags in SIMULATIONS:
        cases.append(simulated_case(name, args.simulate, folder, SIMULATION_SIZE + flags))
    for name, flags, given in CONDITION_SIMULATIONS:
        cases.append(simulated_conditions_case(name, args.simulate, folder, CONDITION_SIZE + flags, given))
    return cases


def print_table(cases, method_names, results, seconds):
    label_width = max(len(f"{c.name}: {label}") for c in cases for label, _, _ in c.figures) + 2
    width = max(12, max(len(n) for n in method_names) + 2)
    print("".ljust(label_width) + "".join(n.rjust(width) for n in method_names))
    for case in cases:
        for label, headline, _ in case.figures:
            row = (("* " if headline else "  ") + f"{case.name}: {label}").ljust(label_width)
            row += "".join(f"{results[case.name][m][label]:.3f}".rjust(width) for m in method_names)
            print(row)
        row = f"  {case.name}: seconds".ljust(label_width)
        print(row + "".join(f"{seconds[case.name][m]:.1f}".rjust(width) for m in method_names))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--data", default=os.path.join(ROOT, "..", "shared", "data"), help="folder of the real tables")
    parser.add_argument(
        "--simulate",
        default=os.path.join(ROOT, "build", "src", "tools", "pairmend-simulate"),
        help="the pairmend-simulate program",
    )
    parser.add_argument("--seed", type=int, default=1, help="seed of the random splits and subsamples")
    parser.add_argument(
        "--split-events", type=int, default=20000, help="events of flow batch A kept for its split test (random)"
    )
    parser.add_argument(
        "--neighbour-events",
        type=int,
        default=20000,
        help="events per batch of flow_wnv_all (random) on which mixing and structure kept are computed",
    )
    parser.add_argument("--methods", default=None, help="comma-separated method names to run (default: all)")
    parser.add_argument("--cases", default=None, help="comma-separated prefixes of case names (default: all)")
    args = parser.parse_args()

    chosen = methods_module.all_methods()
    if args.methods:
        wanted = args.methods.split(",")
        chosen = [m for m in chosen if m.name in wanted]
    with tempfile.TemporaryDirectory() as folder:
        cases = build_cases(args, folder)
        if args.cases:
            prefixes = args.cases.split(",")
            cases = [c for c in cases if any(c.name.startswith(p) for p in prefixes)]
        print("Exact neighbour search everywhere;")
        print(f"split flow batch A uses {args.split_events} random events of batch A (seed {args.seed});")
        print(
            f"flow_wnv_all is corrected whole, its mixing and structure kept are computed on "
            f"{args.neighbour_events} random events per batch."
        )
        for case in cases:
            if case.note:
                print(f"{case.name}: pairmend-simulate {case.note}")
        results, seconds = {}, {}
        for case in cases:
            results[case.name], seconds[case.name] = {}, {}
            for method in chosen:
                figures, took = case.run(method)
                results[case.name][method.name] = figures
                seconds[case.name][method.name] = took
                print(f"[{case.name} / {method.name}: {took:.1f} s]", file=sys.stderr, flush=True)
        print_table(cases, [m.name for m in chosen], results, seconds)


if __name__ == "__main__":
    main()
