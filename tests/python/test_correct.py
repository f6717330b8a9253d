"""pairmend.correct: the program's results and errors through the Python module."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import pairmend
from conftest import as_program_text, read_table, shared_table

# Settings of the program's job file and the module alike (the module's keywords are the keys).
SETTINGS = [
    {},
    {"approximate": True},
    {"automatic_order": False, "reference_policy": "Input", "num_neighbors": 8},
    {"reference_policy": "MaxSize", "num_mads": 2.5, "robust_iterations": 1, "robust_trim": 0.1},
    {"reference_policy": "MaxVariance", "robust_iterations": 0},
]


@pytest.mark.parametrize("settings", SETTINGS, ids=lambda settings: ",".join(settings) or "defaults")
def test_simulated_table_gives_the_programs_values(program, simulated, settings):
    path, values, labels = simulated
    result = pairmend.correct(values, labels, **settings)
    assert result.corrected.dtype == np.float64 and result.corrected.shape == values.shape
    assert as_program_text(result.corrected) == program.correct(path, **settings)
    assert sorted(result.merge_order) == [1, 2, 3] and len(result.num_pairs) == 2
    assert all(pairs > 0 for pairs in result.num_pairs)
    if settings.get("automatic_order") is False:
        assert result.merge_order == [1, 2, 3]


def test_integer_labels_are_numbered_by_value(program, simulated):
    # 10, 2 and 9 sort as numbers: batch 2 is the first reference and 10 comes last; as texts
    # "10" would come first. The program numbers the same labels the same way.
    path, values, labels = simulated
    relabelled = np.array([10, 2, 9])[labels - 1]
    settings = {"automatic_order": False, "reference_policy": "Input"}
    result = pairmend.correct(values, relabelled, **settings)
    assert result.merge_order == [2, 9, 10]
    assert as_program_text(result.corrected) == program.correct(program.write_table(values, relabelled), **settings)


def test_text_labels_are_numbered_by_their_characters(simulated):
    _, values, labels = simulated
    texts = np.array(["10", "2", "9"])[labels - 1]
    # As texts "10" < "2" < "9": the same numbering as the integers 1, 2, 3 in that order.
    as_numbers = pairmend.correct(values, labels, automatic_order=False)
    as_texts = pairmend.correct(values, texts, automatic_order=False)
    assert as_texts.merge_order == ["10", "2", "9"]
    assert np.array_equal(as_texts.corrected, as_numbers.corrected)
    # Lists, object arrays and pandas-style objects of str are the same labels.
    assert np.array_equal(pairmend.correct(values, list(texts.astype(object)), automatic_order=False).corrected,
                          as_numbers.corrected)


@pytest.mark.parametrize(
    "table,settings",
    [("cytof_all_8batch.csv", {}), ("cytof_all_8batch.csv", {"automatic_order": False, "reference_policy": "Input"}),
     ("cytof_ptlg021.csv", {"approximate": True})],
)
def test_real_table_gives_the_programs_values(program, table, settings):
    path = shared_table(table)
    values, labels = read_table(path)
    result = pairmend.correct(values, labels, **settings)
    assert as_program_text(result.corrected) == program.correct(path, **settings)


def test_every_layout_and_float_type_gives_the_same_values(simulated):
    _, values, labels = simulated
    values32 = values.astype(np.float32)
    expected = pairmend.correct(values32.astype(np.float64), labels).corrected
    wide = np.zeros((values.shape[0] * 2, values.shape[1] * 3), dtype=np.float32)
    wide[::2, ::3] = values32
    layouts = {
        "float32": values32,
        "Fortran order": np.asfortranarray(values32),
        "strided view": wide[::2, ::3],
        "float64 Fortran": np.asfortranarray(values32.astype(np.float64)),
        "nested lists": values32.astype(np.float64).tolist(),
        "big-endian": values32.astype(">f4"),
    }
    for name, data in layouts.items():
        before = np.array(data, copy=True)
        result = pairmend.correct(data, labels)
        assert np.array_equal(result.corrected, expected), name
        assert np.array_equal(np.asarray(data), before), f"{name}: the input was changed"
    # Rows in reverse order through a negative stride: the same batches, other row order, so
    # the result is compared with the same rows given in that order.
    reversed_rows = values32[::-1]
    assert np.array_equal(pairmend.correct(reversed_rows, labels[::-1]).corrected,
                          pairmend.correct(np.ascontiguousarray(reversed_rows), labels[::-1].copy()).corrected)


def test_thread_count_changes_no_value(simulated):
    _, values, labels = simulated
    one = pairmend.correct(values, labels, num_threads=1)
    two = pairmend.correct(values, labels, num_threads=2)
    assert np.array_equal(one.corrected, two.corrected) and one.num_pairs == two.num_pairs
    assert one.settings["num_threads"] == 1 and two.settings["num_threads"] == 2
    assert np.array_equal(pairmend.correct(values, labels, num_threads=4096).corrected, one.corrected)


def test_default_and_largest_thread_counts():
    # The program gives the engine half of OpenMP's threads, at least one. An absurd count is cut
    # to the processors or OpenMP's threads, whichever is more, instead of starting that many.
    processors = len(os.sched_getaffinity(0))
    for omp, default, largest in (("6", 3, max(6, processors)), ("1", 1, processors)):
        code = (
            "import pairmend; events = [[0.0], [1.0]]; "
            "print(pairmend.default_num_threads(), pairmend.correct(events, [1, 2]).settings['num_threads'], "
            "pairmend.correct(events, [1, 2], num_threads=4096).settings['num_threads'])"
        )
        env = {"OMP_NUM_THREADS": omp, "PATH": "/usr/bin:/bin"}
        if "PYTHONPATH" in os.environ:
            env["PYTHONPATH"] = os.environ["PYTHONPATH"]
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        assert out.stdout.split() == [str(default), str(default), str(largest)]


def test_other_python_threads_run_while_the_engine_works():
    rng = np.random.default_rng(3)
    values = rng.normal(size=(16000, 8))
    labels = np.repeat([1, 2], 8000)
    values[labels == 2] += 0.5
    finished = []
    worker = threading.Thread(target=lambda: finished.append(pairmend.correct(values, labels, num_threads=1)))
    start = time.perf_counter()
    worker.start()
    stamps = [start]
    while worker.is_alive():
        time.sleep(0.002)
        stamps.append(time.perf_counter())
    duration = stamps[-1] - start
    assert finished and duration > 0.2, f"the run took only {duration:.3f} s; use more events"
    # Holding the interpreter lock would stall this loop for the whole run.
    assert max(np.diff(stamps)) < duration / 4


def _non_finite(value, dtype):
    def change(data):
        data = data.astype(dtype)
        data[2, 1] = value
        return data

    return change


@pytest.mark.parametrize(
    "change,settings,error,message",
    [
        (_non_finite(np.nan, np.float64), {}, ValueError,
         'The value "nan" in row 3, column 2 of the data (data[2, 1]) is not a finite number. '
         "Remove or replace that event."),
        (_non_finite(np.inf, np.float32), {}, ValueError, 'The value "inf" in row 3, column 2 of the data'),
        (_non_finite(-np.inf, np.float64), {}, ValueError, 'The value "-inf" in row 3, column 2'),
        (None, {"num_neighbors": 0}, ValueError, "The number of neighbors must be at least 1, not 0"),
        (None, {"num_neighbors": -3}, ValueError, "The number of neighbors must be at least 1, not -3"),
        (None, {"robust_trim": 1.5}, ValueError, "trimming proportion must be in [0, 1]"),
        (None, {"robust_trim": -0.1}, ValueError, "trimming proportion must be in [0, 1]"),
        (None, {"robust_iterations": -1}, ValueError, "number of iterations must be non-negative"),
        (None, {"reference_policy": "maxrss"}, ValueError, "maxrss is not a valid reference policy"),
        (None, {"num_mads": float("nan")}, ValueError, "num_mads must be a finite number, not nan"),
        (None, {"robust_trim": float("inf")}, ValueError, "robust_trim must be a finite number, not inf"),
        (None, {"num_neighbors": 2**31}, ValueError, "num_neighbors must be from -2147483648 to 2147483647"),
        (None, {"num_threads": 0}, ValueError, "num_threads must be from 1 to 2147483647, not 0"),
        (None, {"num_neighbors": 15.0}, TypeError, "num_neighbors must be a whole number, not 15.0"),
        (None, {"robust_iterations": True}, TypeError, "robust_iterations must be a whole number"),
        (None, {"num_mads": "3"}, TypeError, "num_mads must be a number"),
        (None, {"approximate": "true"}, TypeError, "approximate must be True or False"),
        (None, {"reference_policy": 1}, TypeError, "reference_policy must be one of"),
        (lambda data: data[:, 0], {}, ValueError, "data must be a two-dimensional array"),
        (lambda data: data[None], {}, ValueError, "not 3-dimensional"),
        (lambda data: data[:, :0], {}, ValueError, "data has no columns"),
        (lambda data: data[:-1], {}, ValueError, "batch holds 8 labels, but the data has 7 events (rows)"),
        (lambda data: data.astype(str), {}, TypeError, "data must hold numbers, not <U"),
        (lambda data: data.astype(np.complex128), {}, TypeError, "data must hold numbers, not complex128"),
        (lambda data: data.astype(np.longdouble), {}, TypeError, "data must hold float32 or float64 values"),
    ],
)
def test_errors(change, settings, error, message):
    data = np.arange(16.0).reshape(8, 2) ** 1.1
    if change is not None:
        data = change(data)
    with pytest.raises(error) as raised:
        pairmend.correct(data, [1, 1, 1, 1, 2, 2, 2, 2], **settings)
    assert message in str(raised.value)


@pytest.mark.parametrize(
    "labels,error,message",
    [
        ([4] * 8, ValueError, "There must be at least two batches"),
        (["a"] * 8, ValueError, "There must be at least two batches"),
        ([1, 2, 1, 2], ValueError, "batch holds 4 labels, but the data has 8 events (rows)"),
        ([[1, 2]] * 4, ValueError, "batch must hold one label per event"),
        ([1.0, 2.0, 1.5, 2.0, 1.0, 2.0, 1.0, 2.0], ValueError, "but batch[2] is 1.5"),
        ([1.0, 2.0, np.nan, 2.0, 1.0, 2.0, 1.0, 2.0], ValueError, "but batch[2] is nan"),
        ([1, "a", 1, "a", 1, "a", 1, "a"], TypeError, "must be all integers or all texts, not int, str"),
        ([True, False] * 4, TypeError, "batch labels must be all integers or all texts, not bool"),
        (np.array([True, False] * 4), TypeError, "batch labels must be integers or texts, not bool"),
        (np.array([2**64 - 1, 1] * 4, dtype=np.uint64), ValueError, "must fit in a 64-bit signed integer"),
    ],
)
def test_label_errors(labels, error, message):
    data = np.arange(16.0).reshape(8, 2) ** 1.1
    with pytest.raises(error) as raised:
        pairmend.correct(data, labels)
    assert message in str(raised.value)


def test_whole_float_labels_and_unsigned_labels_are_integers():
    data = np.arange(16.0).reshape(8, 2) ** 1.1
    expected = pairmend.correct(data, [3, 7] * 4)
    alike = [np.array([3.0, 7.0] * 4), np.array([3, 7] * 4, dtype=np.uint8), np.array([3, 7] * 4, dtype=object)]
    for labels in alike:
        result = pairmend.correct(data, labels)
        assert result.merge_order == expected.merge_order and np.array_equal(result.corrected, expected.corrected)
        assert all(type(label) is int for label in result.merge_order)


def test_no_events_and_too_many_events_are_refused():
    with pytest.raises(ValueError, match="There must be at least two batches"):
        pairmend.correct(np.zeros((0, 3)), [])
    # Broadcast views hold these shapes without the memory; the count is refused before any copy.
    with pytest.raises(ValueError, match="has 2147483648 events, but pairmend can process at most 2147483647"):
        pairmend.correct(np.broadcast_to(np.zeros(1), (2**31, 1)), [1, 2])
    with pytest.raises(ValueError, match="65536 events of 32768 parameters, more values than the 2147483647"):
        pairmend.correct(np.broadcast_to(np.zeros(1), (2**16, 2**15)), [1, 2])


def test_defaults_are_the_engines_shared_settings():
    # The signature's defaults come from the engine's shared settings, as the program's job file
    # and pairmend-fcs take them; a default typed again here would drift.
    import inspect

    from pairmend import _core

    parameters = inspect.signature(pairmend.correct).parameters
    defaults = _core.engine_defaults()
    assert set(defaults) == {
        "num_neighbors", "num_mads", "robust_iterations", "robust_trim", "approximate",
        "automatic_order", "reference_policy",
    }
    for key, value in defaults.items():
        assert parameters[key].default == value, key
    assert defaults["num_neighbors"] == 15 and defaults["reference_policy"] == "MaxRSS"
    assert tuple(_core.REFERENCE_POLICIES) == ("Input", "MaxSize", "MaxVariance", "MaxRSS")
