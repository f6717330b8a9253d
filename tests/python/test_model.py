"""pairmend.fit, Model.apply, Model.extend, Model.save and pairmend.load_model."""

import numpy as np
import pytest

import pairmend


@pytest.mark.parametrize(
    "settings",
    [{}, {"approximate": True}, {"automatic_order": False, "num_threads": 2}, {"approximate": True, "num_threads": 2}],
    ids=["exact", "approximate", "input-order-2-threads", "approximate-2-threads"],
)
def test_fit_on_every_event_then_apply_equals_correct_bit_for_bit(simulated, settings):
    _, values, labels = simulated
    expected = pairmend.correct(values, labels, **settings)
    model = pairmend.fit(values, labels, **settings)
    assert model.batches == [str(label) for label in expected.merge_order]
    assert model.num_pairs == expected.num_pairs
    applied = model.apply(values, labels, num_threads=1)
    assert applied.dtype == np.float64 and applied.shape == values.shape
    assert np.array_equal(applied.view(np.uint64), expected.corrected.view(np.uint64))


def test_text_labels_name_the_batches_and_parameters_default_to_p1_on(simulated):
    _, values, labels = simulated
    texts = np.array([f"plate {label}" for label in labels])
    model = pairmend.fit(values, texts, automatic_order=False)
    assert model.batches == ["plate 1", "plate 2", "plate 3"]
    assert model.parameters == [f"p{d + 1}" for d in range(values.shape[1])]
    named = pairmend.fit(values, texts, parameters=list("abcdef"), automatic_order=False)
    assert named.parameters == list("abcdef")
    # Integer labels are names as text: 2 and "2" are the same batch to apply.
    as_integers = pairmend.fit(values, labels)
    some = labels == 2
    assert np.array_equal(as_integers.apply(values[some], labels[some]), as_integers.apply(values[some], ["2"] * some.sum()))


def test_subsample_fit_is_deterministic_and_corrects_every_event(simulated):
    _, values, labels = simulated
    first = pairmend.fit(values, labels, fit_events=400)
    second = pairmend.fit(values, labels, fit_events=400, num_threads=2)
    assert first.fitted_events == [400, 400, 400]
    corrected = first.apply(values, labels)
    assert np.array_equal(corrected, second.apply(values, labels))
    # The events at floor(i * n / 400) of every batch, fitted whole, give the same model.
    rows = []
    for label in np.unique(labels):
        where = np.flatnonzero(labels == label)
        rows.extend(where[(np.arange(400) * len(where)) // 400])
    rows = np.array(rows)
    direct = pairmend.fit(values[rows], labels[rows])
    assert np.array_equal(direct.apply(values, labels), corrected)
    # Every non-reference event moved; the reference stayed.
    reference = int(first.batches[0])
    assert np.array_equal(corrected[labels == reference], values[labels == reference])
    assert np.all(np.any(corrected[labels != reference] != values[labels != reference], axis=1))


def test_extend_keeps_old_batches_and_corrects_new_ones(simulated, tmp_path):
    _, values, labels = simulated
    old = labels != 3
    model = pairmend.fit(values[old], labels[old], reference_events=1000)
    before = model.apply(values[old], labels[old])
    extended = model.extend(values[~old], labels[~old])
    assert extended.batches == model.batches + ["3"]
    assert "3" not in model.batches
    assert np.array_equal(extended.apply(values[old], labels[old]), before)
    new = extended.apply(values[~old], labels[~old])
    assert not np.array_equal(new, values[~old])
    with pytest.raises(ValueError, match='already holds a batch named "3"'):
        extended.extend(values[~old], labels[~old])

    path = tmp_path / "study.pmm"
    extended.save(path)
    loaded = pairmend.load_model(path)
    assert loaded.batches == extended.batches and loaded.settings == extended.settings
    assert np.array_equal(loaded.apply(values, labels), extended.apply(values, labels))


def test_refusals_name_the_fault(simulated, tmp_path):
    _, values, labels = simulated
    model = pairmend.fit(values, labels)
    with pytest.raises(ValueError, match='The model knows no batch named "7"'):
        model.apply(values[:5], [7] * 5)
    with pytest.raises(ValueError, match="corrects events of 6 parameters, but the events to correct have 5"):
        model.apply(values[:5, :5], labels[:5])
    with pytest.raises(ValueError, match="at least two batches"):
        pairmend.fit(values, np.ones(len(labels), dtype=int))
    with pytest.raises(TypeError, match="fit_events"):
        pairmend.fit(values, labels, fit_events=2.5)
    with pytest.raises(FileNotFoundError):
        pairmend.load_model(tmp_path / "missing.pmm")
    damaged = tmp_path / "damaged.pmm"
    model.save(damaged)
    data = bytearray(damaged.read_bytes())
    data[len(data) // 2] ^= 0xFF
    damaged.write_bytes(bytes(data))
    with pytest.raises(ValueError, match=f"The model file {damaged} is corrupt: its checksum does not match"):
        pairmend.load_model(damaged)
    truncated = tmp_path / "truncated.pmm"
    truncated.write_bytes(bytes(data[:100]))
    with pytest.raises(ValueError, match="is truncated"):
        pairmend.load_model(truncated)


def test_fit_defaults_are_the_engines_shared_settings():
    import inspect

    from pairmend import _core

    parameters = inspect.signature(pairmend.fit).parameters
    for key, value in _core.engine_defaults().items():
        assert parameters[key].default == value, key
