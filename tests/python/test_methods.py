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
