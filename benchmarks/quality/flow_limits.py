#!/usr/bin/env python3
"""How far apart the mice of flow_wnv_all are, inside a batch and between the batches.

Prints, per group (mock, virus) and batch, the EMD between two halves of the batch's mice (two mice
against two, uncorrected), then per mouse the share of Ly6G-high (neutrophil) events and the
per-marker EMD between the batches after pairmend's "curves" method and after a per-marker quantile
map, and last the noise floor of the batch EMD: the EMD between halves of a group's mice that hold
two mice of each batch, and so no batch difference. It shows what separates the flow cases of
quality.py: the batches' mock mice differ in their share of neutrophils by about as much as the
virus mice change that share, so a method that keeps population shares cannot match the mock mice's
marginal distributions, and one that matches them cannot keep the virus mice's biology in the
B-mock-only case; and four mice against four differ by about .05 with no batch effect at all.

Usage: python flow_limits.py [--data DIR]  (needs ../shared/data/flow_wnv_all.csv)
"""

import argparse
import itertools
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


def mice_of(mouse, rows):
    return sorted(set(mouse[rows]))


def batch_balanced_emds(values, mouse, mice_a, mice_b):
    """Mean EMD between the halves of every split of the mice into two of batch A and two of batch B
    against the other two of each: halves without a batch difference, only the mice's own."""
    emds = []
    for pair_a in itertools.combinations(mice_a, 2):
        if mice_a[0] not in pair_a:  # each split once, not also with its halves swapped
            continue
        for pair_b in itertools.combinations(mice_b, 2):
            half = np.isin(mouse, pair_a + pair_b)
            other = np.isin(mouse, mice_a + mice_b) & ~half
            emds.append(per_marker_emd(values, half, other).mean())
    return np.array(emds)


def print_noise_floor(name, values, mouse, group_rows, batch):
    """The batch split's EMD of one group against the EMDs of its batch-balanced splits."""
    mice_a, mice_b = mice_of(mouse, group_rows & (batch == 1)), mice_of(mouse, group_rows & (batch == 2))
    balanced = batch_balanced_emds(values, mouse, mice_a, mice_b)
    by_batch = per_marker_emd(values, np.isin(mouse, mice_a), np.isin(mouse, mice_b)).mean()
    print(
        f"  {name:28s} {by_batch:9.3f}   median {np.median(balanced):.3f}, {balanced.min():.3f}-{balanced.max():.3f},"
        f" {np.sum(balanced >= by_batch)} of {len(balanced)} at or above"
    )


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

    keep = (batch == 1) | (infection == "Mock")
    b_mock_only = pairmend.correct(np.ascontiguousarray(values[keep]), batch[keep], method="curves").corrected
    print("\nEMD of A's mice against B's (batch split), and of the batch-balanced splits (two mice of each")
    print("batch against the other two of each: no batch difference, only the mice's own):")
    print("  " + " " * 28 + " batch split   balanced splits")
    print_noise_floor("uncorrected, mock", values, mouse, infection == "Mock", batch)
    for name, result in corrected.items():
        for group in ("Mock", "Virus"):
            print_noise_floor(f"{name}, {group.lower()}", result, mouse, infection == group, batch)
    print_noise_floor("curves, B mock only: mock", b_mock_only, mouse[keep], infection[keep] == "Mock", batch[keep])


if __name__ == "__main__":
    main()
