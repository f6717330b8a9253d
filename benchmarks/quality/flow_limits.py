#!/usr/bin/env python3
"""How far apart the mice of flow_wnv_all are, inside a batch and between the batches.

Prints, per group (mock, virus) and batch, the EMD between two halves of the batch's mice (two mice
against two, uncorrected), then per mouse the share of Ly6G-high (neutrophil) events and the
per-marker EMD between the batches after pairmend's "curves" method and after a per-marker quantile
map. It shows what separates the flow cases of quality.py: the batches' mock mice differ in their
share of neutrophils by about as much as the virus mice change that share, so a method that keeps
population shares cannot match the mock mice's marginal distributions, and one that matches them
cannot keep the virus mice's biology in the B-mock-only case.

Usage: python flow_limits.py [--data DIR]  (needs ../shared/data/flow_wnv_all.csv)
"""

import argparse
import os
import sys

import numpy as np
from scipy.stats import wasserstein_distance

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import methods  # noqa: E402
import quality  # noqa: E402

import pairmend  # noqa: E402

MARKERS = ["CD3e", "CD16-32", "Ly6G", "CD45", "CD48", "CD11b", "B220", "Ly6C"]
LY6G, NEUTROPHIL_LEVEL = 2, 1.5


def per_marker_emd(values, first, second):
    return np.array([wasserstein_distance(values[first, j], values[second, j]) for j in range(values.shape[1])])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=os.path.join(quality.ROOT, "..", "shared", "data"))
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.data, "flow_wnv_all.csv")):
        sys.exit(f"{args.data}/flow_wnv_all.csv is missing; this script needs the shared flow table.")
    values, batch, infection = quality.flow_tables(args.data)
    mouse = quality.sample_groups(os.path.join(args.data, "flow_wnv_all_samples.csv"), len(batch), lambda f: f)

    print("Uncorrected EMD between two halves of a batch's mice (2 mice against 2):")
    for group in ("Mock", "Virus"):
        for label, name in ((1, "A"), (2, "B")):
            mice = sorted(set(mouse[(infection == group) & (batch == label)]))
            halves = [np.isin(mouse, mice[:2]), np.isin(mouse, mice[2:])]
            print(f"  {group:5s} {name}: {per_marker_emd(values, halves[0], halves[1]).mean():.3f}")

    corrected = {
        "curves": pairmend.correct(values, batch, method="curves").corrected,
        "quantile map": methods.QuantileMap().fit(values, batch).apply(values, batch),
    }
    print(f"\nShare of events with Ly6G above {NEUTROPHIL_LEVEL} after the curves method, per mouse:")
    for group in ("Mock", "Virus"):
        for label, name in ((1, "A"), (2, "B")):
            mice = sorted(set(mouse[(infection == group) & (batch == label)]))
            shares = [np.mean(corrected["curves"][mouse == m, LY6G] > NEUTROPHIL_LEVEL) for m in mice]
            print(f"  {group:5s} {name}: " + " ".join(f"{s:.3f}" for s in shares) + f"  (mean {np.mean(shares):.3f})")

    print("\nPer-marker EMD between the batches:")
    print("  " + " " * 22 + "".join(f"{m:>9s}" for m in MARKERS) + "     mean")
    for name, result in corrected.items():
        for group in ("Mock", "Virus"):
            emd = per_marker_emd(result, (infection == group) & (batch == 1), (infection == group) & (batch == 2))
            print(f"  {name:14s} {group:5s}  " + "".join(f"{e:9.3f}" for e in emd) + f"{emd.mean():9.3f}")


if __name__ == "__main__":
    main()
