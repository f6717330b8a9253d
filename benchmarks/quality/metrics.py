"""The quality figures of a batch correction, computed the same way for every method.

All neighbour searches are exact (scipy's k-d tree). Every function takes the values as a float64
array of events by markers and the batch labels as an integer array, one per event.
"""

import itertools

import numpy as np
from scipy.spatial import cKDTree
from scipy.stats import wasserstein_distance


def emd(values, batch, subset=None):
    """Mean over markers and over pairs of batches of the 1-D earth mover's distance.

    `subset` (a boolean mask) restricts both batches to some events, e.g. the virus mice only.
    """
    if subset is not None:
        values, batch = values[subset], batch[subset]
    labels = np.unique(batch)
    figures = []
    for a, b in itertools.combinations(labels, 2):
        va, vb = values[batch == a], values[batch == b]
        figures.extend(wasserstein_distance(va[:, j], vb[:, j]) for j in range(values.shape[1]))
    return float(np.mean(figures))


def _neighbours(points, k, workers=2):
    """Indices of each point's k nearest other points (the point itself removed, ties aside)."""
    k = min(k, len(points) - 1)
    _, index = cKDTree(points).query(points, k=k + 1, workers=workers)
    own = index == np.arange(len(points))[:, None]
    # Drop the point itself; where duplicates hide it, drop the farthest neighbour instead.
    missing = ~own.any(axis=1)
    own[missing, -1] = True
    return index[~own].reshape(len(points), k)


def mixing(values, batch, k=30):
    """Share of other-batch events among each event's k nearest neighbours, divided by the
    other-batch share of the table, averaged over events (1 = as mixed as chance)."""
    index = _neighbours(values, k)
    observed = (batch[index] != batch[:, None]).mean(axis=1)
    labels, counts = np.unique(batch, return_counts=True)
    size = dict(zip(labels, counts))
    expected = np.array([(len(batch) - size[b]) / (len(batch) - 1) for b in batch])
    return float(np.mean(observed / expected))


# Within-batch neighbours of the uncorrected values, kept between methods: every method is
# compared with the same "before".
_before_cache = {}


def _jaccard(old, new):
    """Per row, the Jaccard overlap of two rows of k distinct indices."""
    shared = (old[:, :, None] == new[:, None, :]).sum(axis=(1, 2))
    return shared / (old.shape[1] + new.shape[1] - shared)


def structure_kept(before, after, batch, k=15):
    """Mean Jaccard overlap of each event's k nearest neighbours within its own batch, before
    and after correction."""
    overlaps = []
    for label in np.unique(batch):
        rows = batch == label
        key = (id(before), before.shape, int(label), k)
        if key not in _before_cache:
            _before_cache[key] = _neighbours(before[rows], k)
        overlaps.append(_jaccard(_before_cache[key], _neighbours(after[rows], k)))
    return float(np.mean(np.concatenate(overlaps)))


def biology_kept(before, after, batch, group):
    """Geometric mean, over batches and pairs of biological groups inside a batch, of the
    Euclidean distance between the groups' per-marker medians after correction over before."""
    ratios = []
    for label in np.unique(batch):
        rows = batch == label
        groups = np.unique(group[rows])
        for g, h in itertools.combinations(groups, 2):
            rg, rh = rows & (group == g), rows & (group == h)
            d_before = np.linalg.norm(np.median(before[rg], axis=0) - np.median(before[rh], axis=0))
            d_after = np.linalg.norm(np.median(after[rg], axis=0) - np.median(after[rh], axis=0))
            ratios.append(d_after / d_before)
    if not ratios:
        return float("nan")
    return float(np.exp(np.mean(np.log(ratios))))


def displacement(before, after):
    """RMS movement over all events and markers, divided by the mean per-marker SD of `before`."""
    rms = np.sqrt(np.mean((after - before) ** 2))
    return float(rms / np.mean(np.std(before, axis=0)))


def rms_error(corrected, truth, rows):
    """Root mean square over the events in `rows` of the Euclidean distance to the true position."""
    return float(np.sqrt(np.mean(np.sum((corrected[rows] - truth[rows]) ** 2, axis=1))))
