"""pairmend.METHODS and the method= of correct and fit: the "curves" method end to end."""

import numpy as np
import pytest

import pairmend


def test_methods_list_the_default_first_and_unknown_ones_are_refused(simulated):
    _, values, labels = simulated
    assert pairmend.METHODS[0] == "mnn" and "curves" in pairmend.METHODS
    with pytest.raises(ValueError, match='Unknown correction method \'quantiles\': the methods are mnn, curves'):
        pairmend.correct(values, labels, method="quantiles")
    with pytest.raises(TypeError, match="method must be a text"):
        pairmend.fit(values, labels, method=1)
    # The default method is the program's correction, settings and all.
    default = pairmend.correct(values, labels)
    assert default.settings["method"] == "mnn"
    assert np.array_equal(pairmend.correct(values, labels, method="mnn").corrected, default.corrected)


def test_curves_correct_equals_its_model_and_survives_a_model_file(simulated, tmp_path):
    _, values, labels = simulated
    result = pairmend.correct(values, labels, method="curves", num_threads=2)
    assert result.settings["method"] == "curves"
    assert sorted(result.merge_order) == sorted(set(labels.tolist()))
    assert all(isinstance(label, int) for label in result.merge_order)
    assert len(result.num_pairs) == len(result.merge_order) - 1
    assert not np.array_equal(result.corrected, pairmend.correct(values, labels).corrected)

    model = pairmend.fit(values, labels, method="curves")
    assert model.method == "curves" and "curves" in repr(model)
    assert model.batches == [str(label) for label in result.merge_order]
    applied = model.apply(values, labels, num_threads=1)
    assert np.array_equal(applied.view(np.uint64), result.corrected.view(np.uint64))

    model.save(tmp_path / "curves.pmm")
    loaded = pairmend.load_model(tmp_path / "curves.pmm")
    assert loaded.method == "curves"
    assert np.array_equal(loaded.apply(values, labels).view(np.uint64), applied.view(np.uint64))


def test_curves_extend_keeps_the_batches_it_holds(simulated):
    _, values, labels = simulated
    first = labels != 3
    model = pairmend.fit(values[first], labels[first], method="curves")
    extended = model.extend(values[~first], labels[~first])
    assert extended.method == "curves" and extended.batches[: len(model.batches)] == model.batches
    assert np.array_equal(extended.apply(values[first], labels[first]), model.apply(values[first], labels[first]))
    moved = extended.apply(values[~first], labels[~first])
    assert np.all(np.isfinite(moved)) and not np.array_equal(moved, values[~first])


def _study_with_conditions():
    # A holds mock and virus, B mock and an anchor, C the anchor only (a bridge through B).
    rng = np.random.default_rng(7)
    mock = rng.normal(0, 0.5, (300, 3))
    virus = rng.normal(0, 0.5, (300, 3)) + [3, 1, 0]
    anchor = rng.normal(0, 0.5, (300, 3)) + [0, 3, 1]
    data = np.vstack([mock, virus, mock + 0.5, anchor + 0.5, anchor - 0.5])
    batch = ["A"] * 600 + ["B"] * 600 + ["C"] * 300
    condition = ["mock"] * 300 + ["virus"] * 300 + ["mock"] * 300 + ["anchor"] * 600
    return data, batch, condition


def test_conditions_reach_the_correction_the_model_and_anndata():
    data, batch, condition = _study_with_conditions()
    result = pairmend.correct(data, batch, condition=condition, method="curves", reference_policy="Input")
    # The bridge: C waits for B, the only batch sharing the anchor; A's virus stays as measured.
    assert result.merge_order == ["A", "B", "C"]
    assert np.array_equal(result.corrected[300:600], data[300:600])
    assert np.abs(result.corrected[1200:].mean(axis=0) - (data[1200:].mean(axis=0) + 0.5)).max() < 0.05
    codes = np.array([{"mock": 0, "virus": 1, "anchor": 2}[c] for c in condition], dtype=np.int64)
    assert np.array_equal(
        pairmend.correct(data, batch, condition=codes, method="curves", reference_policy="Input").corrected,
        result.corrected,
    )

    model = pairmend.fit(data[:1200], batch[:1200], condition=condition[:1200], reference_policy="Input")
    assert model.conditions == ["anchor", "mock", "virus"]
    with pytest.raises(ValueError, match="learnt with the conditions anchor, mock and virus"):
        model.extend(data[1200:], batch[1200:])
    assert model.extend(data[1200:], batch[1200:], condition=condition[1200:]).batches == ["A", "B", "C"]

    with pytest.raises(ValueError, match='The batch "C" holds only other, which no other batch holds'):
        pairmend.correct(data, batch, condition=condition[:1200] + ["other"] * 300, reference_policy="Input")
    with pytest.raises(ValueError, match="condition holds 2 labels, but the data has 1500 events"):
        pairmend.correct(data, batch, condition=["mock", "virus"])

    anndata = pytest.importorskip("anndata")
    import pandas as pd

    adata = anndata.AnnData(data, obs=pd.DataFrame({"run": batch, "group": condition}))
    adata.obs_names = [str(i) for i in range(len(batch))]
    stored = pairmend.correct_anndata(
        adata, "run", condition="group", method="curves", reference_policy="Input"
    )
    expected = pairmend.correct(adata.X, batch, condition=condition, method="curves", reference_policy="Input")
    assert np.array_equal(stored.corrected, expected.corrected)
    with pytest.raises(KeyError, match="adata.obs has no column 'absent'"):
        pairmend.correct_anndata(adata, "run", condition="absent")
