"""The corrections the benchmark compares.

Every method is a class with `fit(values, batch)` (learn from some events) and
`apply(values, batch)` (correct any events of the batches it learnt), so that the anchors case can
learn from the mock mice and correct every mouse. Correcting a table is fit and apply on the same
events. The baselines and the prototype map every batch onto a reference batch, the smallest label.
"""

import numpy as np
from scipy.spatial import cKDTree

import pairmend


class NoCorrection:
    name = "none"

    def fit(self, values, batch):
        return self

    def apply(self, values, batch):
        return values.copy()


class MedianShift:
    """Shifts every marker of every batch so that its median is the reference batch's."""

    name = "median shift"

    def fit(self, values, batch):
        labels = np.unique(batch)
        reference = np.median(values[batch == labels[0]], axis=0)
        self.shift = {b: reference - np.median(values[batch == b], axis=0) for b in labels}
        return self

    def apply(self, values, batch):
        out = values.copy()
        for b, shift in self.shift.items():
            out[batch == b] += shift
        return out


# Quantiles kept per marker and batch: enough that the interpolated map follows the data closely.
_GRID = np.linspace(0.0, 1.0, 2001)


def _monotone_map(x, knots_from, knots_to):
    """Piecewise-linear map through the knots, continued with slope 1 beyond the ends."""
    y = np.interp(x, knots_from, knots_to)
    low, high = x < knots_from[0], x > knots_from[-1]
    y[low] = knots_to[0] + (x[low] - knots_from[0])
    y[high] = knots_to[-1] + (x[high] - knots_from[-1])
    return y


class QuantileMap:
    """Maps every marker of every batch onto the reference batch's distribution, rank by rank."""

    name = "quantile map"

    def fit(self, values, batch):
        labels = np.unique(batch)
        reference = np.quantile(values[batch == labels[0]], _GRID, axis=0)
        self.maps = {b: (np.quantile(values[batch == b], _GRID, axis=0), reference) for b in labels}
        return self

    def apply(self, values, batch):
        out = values.copy()
        for b, (own, reference) in self.maps.items():
            rows = batch == b
            for j in range(values.shape[1]):
                # Ties in the quantiles (e.g. many exact zeros) would make np.interp pick one end.
                src, dst = _strictly_increasing(own[:, j], reference[:, j])
                out[rows, j] = _monotone_map(values[rows, j], src, dst)
        return out


def _strictly_increasing(src, dst):
    """The knots with repeated source values merged (their targets averaged)."""
    unique, inverse = np.unique(src, return_inverse=True)
    merged = np.bincount(inverse, weights=dst) / np.bincount(inverse)
    return unique, merged


class Pairmend:
    """pairmend's correction with default settings but the number of neighbours and the method."""

    def __init__(self, num_neighbors=None, method="mnn"):
        self.options = {"method": method}
        if num_neighbors is not None:
            self.options["num_neighbors"] = num_neighbors
        self.name = f"pairmend k={num_neighbors}" if method == "mnn" else f"pairmend {method}"

    # Extra engine settings, e.g. {"reference_policy": "Input"} where the truth is batch 1's frame.
    settings = {}
    # The cases with conditions give them to pairmend (condition=), to no other method.
    takes_conditions = True

    def fit(self, values, batch, condition=None):
        extra = {} if condition is None else {"condition": condition}
        self.model = pairmend.fit(values, batch, **self.options, **self.settings, **extra)
        return self

    def apply(self, values, batch):
        return self.model.apply(values, batch)


def mutual_pairs(target, reference, k):
    """Mutual nearest-neighbour pairs (exact search both ways) as index arrays."""
    _, to_ref = cKDTree(reference).query(target, k=k, workers=2)
    _, to_target = cKDTree(target).query(reference, k=k, workers=2)
    to_ref = to_ref.reshape(len(target), -1)
    to_target = to_target.reshape(len(reference), -1)
    # A pair (i, r) is mutual when r is among i's neighbours and i among r's; pairs are coded
    # as i * len(reference) + r.
    forward = (np.arange(len(target), dtype=np.int64)[:, None] * len(reference) + to_ref).ravel()
    backward = (to_target.astype(np.int64) * len(reference) + np.arange(len(reference))[:, None]).ravel()
    mutual = np.unique(forward[np.isin(forward, backward)])
    return mutual // len(reference), mutual % len(reference)


def isotonic(y, weights):
    """Least-squares non-decreasing fit of y (pool adjacent violators)."""
    values, sizes, counts = [], [], []
    for value, weight in zip(y, weights):
        values.append(value)
        sizes.append(weight)
        counts.append(1)
        while len(values) > 1 and values[-2] > values[-1]:
            w = sizes[-2] + sizes[-1]
            values[-2] = (values[-2] * sizes[-2] + values[-1] * sizes[-1]) / w
            sizes[-2] = w
            counts[-2] += counts[-1]
            del values[-1], sizes[-1], counts[-1]
    return np.repeat(values, counts)


class MnnCurves:
    """Prototype: per-marker monotone curves learnt from the MNN pairs, then pairmend's local MNN
    correction of what remains.

    Pairs join like with like, so unlike a quantile map the curves are not bent by populations whose
    shares differ between batches. Per marker and batch, the quantiles of the paired events' values
    are mapped onto the quantiles of their reference partners' values: the knots of a
    piecewise-linear increasing curve (slope 1 beyond its ends). The pairs are searched
    again after each round (`rounds`), and the curves compose.
    """

    def __init__(self, num_neighbors=15, pair_neighbors=15, bins=40, rounds=3):
        self.num_neighbors = num_neighbors
        self.pair_neighbors = pair_neighbors
        self.bins = bins
        self.rounds = rounds
        self.name = f"curves+mnn k={num_neighbors}"
        self.settings = {}

    def _curve(self, x, y):
        # Quantiles of the batch's paired values against those of their reference partners: both
        # sides come from matched populations, and unlike a regression of y on x the map is not
        # flattened by the noise of the pairing.
        grid = np.linspace(0.0, 1.0, self.bins + 1)
        return _strictly_increasing(np.quantile(x, grid), np.quantile(y, grid))

    def _curves_once(self, values, batch):
        labels = np.unique(batch)
        reference = values[batch == labels[0]]
        curves = {}
        for b in labels[1:]:
            own = values[batch == b]
            i, r = mutual_pairs(own, reference, self.pair_neighbors)
            curves[b] = [self._curve(own[i, j], reference[r, j]) for j in range(values.shape[1])]
        return curves

    def _bend(self, values, batch, curves):
        out = values.copy()
        for b, per_marker in curves.items():
            rows = batch == b
            for j, (src, dst) in enumerate(per_marker):
                out[rows, j] = _monotone_map(values[rows, j], src, dst)
        return out

    def fit(self, values, batch):
        self.rounds_of_curves = []
        bent = values
        for _ in range(self.rounds):
            curves = self._curves_once(bent, batch)
            self.rounds_of_curves.append(curves)
            bent = self._bend(bent, batch, curves)
        self.model = pairmend.fit(bent, batch, num_neighbors=self.num_neighbors, **self.settings)
        return self

    def bend(self, values, batch):
        for curves in self.rounds_of_curves:
            values = self._bend(values, batch, curves)
        return values

    def apply(self, values, batch):
        return self.model.apply(self.bend(values, batch), batch)


class CurvesOnly(MnnCurves):
    """The curves of `MnnCurves` alone, to show what the local step adds."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.name = "curves only"

    def fit(self, values, batch):
        self.rounds_of_curves = []
        bent = values
        for _ in range(self.rounds):
            curves = self._curves_once(bent, batch)
            self.rounds_of_curves.append(curves)
            bent = self._bend(bent, batch, curves)
        return self

    def apply(self, values, batch):
        return self.bend(values, batch)


def all_methods():
    """The methods in the table's column order."""
    return [
        NoCorrection(),
        MedianShift(),
        QuantileMap(),
        Pairmend(15),
        Pairmend(60),
        CurvesOnly(),
        MnnCurves(num_neighbors=15),
        MnnCurves(num_neighbors=60),
    ] + [Pairmend(method=method) for method in pairmend.METHODS[1:]]
