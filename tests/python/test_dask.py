"""pairmend.dask on a local cluster of two worker processes: apply and fit against the in-process
model, correct_files against pairmend-fcs apply, a worker killed mid-run, and the refusals."""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import pairmend

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
import pairmend.dask as pmdask  # noqa: E402  (needs Dask, checked above)


class ExitOnTrigger(distributed.WorkerPlugin):
    """In every worker process (restarted ones too): when the file `trigger` holds the base name
    of the FCS file being corrected, the first worker to claim it (by renaming it) leaves a
    partial output and exits at once, as a worker killed mid-task would."""

    def __init__(self, trigger):
        self.trigger = trigger

    def setup(self, worker):
        from pairmend import _core

        correct = _core.BatchCorrector.correct_fcs_file
        trigger = self.trigger

        def correct_or_exit(corrector, path, batch_number, out_path, model_source):
            try:
                if pathlib.Path(trigger).read_text().strip() != os.path.basename(path):
                    return correct(corrector, path, batch_number, out_path, model_source)
                os.rename(trigger, trigger + ".claimed")
            except FileNotFoundError:  # no trigger, or another worker claimed it first
                return correct(corrector, path, batch_number, out_path, model_source)
            pathlib.Path(out_path).write_bytes(b"FCS3.1 partial")
            os._exit(1)

        _core.BatchCorrector.correct_fcs_file = correct_or_exit


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """(client, exit trigger): the file that makes one task's worker process exit when a test
    writes a file name into it."""
    trigger = tmp_path_factory.mktemp("dask-hook") / "exit-trigger"
    local = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    client = distributed.Client(local)
    client.register_worker_plugin(ExitOnTrigger(str(trigger)))
    try:
        yield client, trigger
    finally:
        client.close()
        local.close()


@pytest.fixture(scope="module")
def fcs_study(build_dir, tmp_path_factory):
    """A simulated study of 3 batches x 3 files, a model learnt from a subsample of it, and the
    files that pairmend-fcs apply writes with that model: (files, sheet, model path, expected dir)."""
    root = tmp_path_factory.mktemp("dask-fcs")
    study = root / "study"
    subprocess.run(
        [str(build_dir / "src" / "tools" / "pairmend-simulate"), "--fcs", str(study), "--events", "400",
         "--dims", "5", "--batches", "3", "--files-per-batch", "2", "--seed", "3"],
        check=True, capture_output=True, timeout=120,
    )
    files = sorted(str(path) for path in study.glob("*.fcs"))
    sheet = str(study / "batches.csv")
    model = str(root / "model.pmm")
    expected = root / "expected"
    tool = str(build_dir / "src" / "fcs_tool" / "pairmend-fcs")
    for command in (
        [tool, "fit", "--model", model, "--batches", sheet, "--fit-events", "500", *files],
        [tool, "apply", "--model", model, "--out", str(expected), "--batches", sheet, *files],
    ):
        run = subprocess.run(command, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
    return files, sheet, model, expected


def same_bytes(values, expected):
    return values.dtype == np.float64 and np.array_equal(values.view(np.uint64), expected.view(np.uint64))


def assert_matches_apply(out_dir, paths, expected):
    assert sorted(os.listdir(out_dir)) == sorted(os.path.basename(path) for path in paths)
    for path in paths:
        name = os.path.basename(path)
        assert pathlib.Path(out_dir, name).read_bytes() == (expected / name).read_bytes(), name


def test_apply_equals_model_apply_for_any_chunking(cluster, simulated, tmp_path):
    _, values, labels = simulated
    model = pairmend.fit(values, labels, fit_events=600)
    model_path = tmp_path / "model.pmm"
    model.save(model_path)
    # Rows shuffled too, so that chunks hold several batches in any order.
    order = np.random.default_rng(5).permutation(len(labels))
    cases = [
        (values, labels, 4500, 4500, model),            # one chunk
        (values, labels, 700, 1100, model),             # chunks split batches; batch rechunked
        (values[order], labels[order], (1000, 37, 2463, 1000), 900, str(model_path)),
        (values.astype(np.float32), labels, 1500, 1500, model_path),
    ]
    for data, batch, data_chunks, batch_chunks, which in cases:
        expected = model.apply(data, batch)
        lazy = pmdask.apply(which, da.from_array(data, chunks=(data_chunks, 3)), da.from_array(batch, chunks=batch_chunks))
        assert lazy.dtype == np.float64 and lazy.chunks[1] == (data.shape[1],)
        assert same_bytes(lazy.compute(), expected)

    # Text labels name the same batches; an unknown one fails when computed, naming it.
    texts = np.array([str(label) for label in labels], dtype=object)
    lazy = pmdask.apply(model, da.from_array(values, chunks=(800, 6)), da.from_array(texts, chunks=800))
    assert same_bytes(lazy.compute(), model.apply(values, labels))
    unknown = labels.copy()
    unknown[4000] = 9
    with pytest.raises(ValueError, match="9"):
        pmdask.apply(model, da.from_array(values, chunks=1000), da.from_array(unknown, chunks=1000)).compute()
    with pytest.raises(ValueError, match="6 parameters"):
        pmdask.apply(model, da.from_array(values[:, :5]), da.from_array(labels))


def _cache_counts():
    from pairmend.dask import _process_cache

    return _process_cache.models_decoded, _process_cache.indexes_built


def test_each_worker_decodes_the_model_and_builds_an_index_once(cluster, simulated):
    client, _ = cluster
    _, values, labels = simulated
    model = pairmend.fit(values, labels, fit_events=300, num_neighbors=9)  # a model no test used yet
    before = client.run(_cache_counts)
    # 15 chunks, most of them holding one batch, some two.
    lazy = pmdask.apply(model, da.from_array(values, chunks=(300, 6)), da.from_array(labels, chunks=300))
    assert same_bytes(lazy.compute(), model.apply(values, labels))
    after = client.run(_cache_counts)
    for worker in after:
        decoded = after[worker][0] - before[worker][0]
        built = after[worker][1] - before[worker][1]
        assert decoded <= 1 and built <= 3, (worker, decoded, built)


def test_fit_gives_the_model_of_pairmend_fit(cluster, simulated, tmp_path):
    _, values, labels = simulated
    order = np.random.default_rng(8).permutation(len(labels))
    cases = [
        (values, labels, 700, 400, {}),
        (values[order], labels[order], 1111, 250, {"num_neighbors": 10, "parameters": list("abcdef")}),
        (values, labels, 4500, 2000, {}),  # more than any batch holds: every event
    ]
    for data, batch, chunks, fit_events, settings in cases:
        expected = tmp_path / "expected.pmm"
        pairmend.fit(data, batch, fit_events=fit_events, **settings).save(expected)
        got = tmp_path / "dask.pmm"
        pmdask.fit(
            da.from_array(data, chunks=(chunks, 6)), da.from_array(batch, chunks=chunks), fit_events=fit_events,
            **settings,
        ).save(got)
        assert got.read_bytes() == expected.read_bytes()
    # With conditions (the first batch holds two, the others one): the chosen rows' conditions.
    condition = np.where(labels == labels[0], np.arange(len(labels)) % 2, 0)
    expected = tmp_path / "expected.pmm"
    pairmend.fit(values, labels, fit_events=400, condition=condition).save(expected)
    got = tmp_path / "dask.pmm"
    pmdask.fit(
        da.from_array(values, chunks=(700, 6)), da.from_array(labels, chunks=700), fit_events=400,
        condition=da.from_array(condition, chunks=500),
    ).save(got)
    assert got.read_bytes() == expected.read_bytes()


def test_correct_files_writes_what_pairmend_fcs_apply_writes(cluster, fcs_study, tmp_path):
    client, _ = cluster
    files, sheet, model, expected = fcs_study
    written = pmdask.correct_files(model, files, sheet, tmp_path / "by-sheet", client=client)
    assert written == [str(tmp_path / "by-sheet" / os.path.basename(path)) for path in files]
    assert_matches_apply(tmp_path / "by-sheet", files, expected)

    # The same batches as a dict (by base name), the model as an object, the default client.
    lines = pathlib.Path(sheet).read_text().splitlines()[1:]
    batches = dict(line.split(",") for line in lines)
    pmdask.correct_files(pairmend.load_model(model), files[::-1], batches, tmp_path / "by-dict")
    assert_matches_apply(tmp_path / "by-dict", files, expected)


def test_a_killed_worker_changes_nothing(cluster, fcs_study, tmp_path):
    client, trigger = cluster
    files, sheet, model, expected = fcs_study
    victim = os.path.basename(files[4])
    trigger.write_text(victim)
    out = tmp_path / "out"
    pmdask.correct_files(model, files, sheet, out, client=client)
    claimed = pathlib.Path(str(trigger) + ".claimed")
    assert claimed.read_text() == victim, "the worker correcting the file did not exit"
    claimed.unlink()
    assert_matches_apply(out, files, expected)  # also: no temporary file is left


def test_a_missing_channel_fails_naming_the_file_and_writes_nothing(cluster, fcs_study, tmp_path):
    client, _ = cluster
    files, sheet, model, _ = fcs_study
    broken = tmp_path / "in" / os.path.basename(files[2])
    broken.parent.mkdir()
    data = pathlib.Path(files[2]).read_bytes()
    assert data.count(b"Nd143Di") == 1
    broken.write_bytes(data.replace(b"Nd143Di", b"Nd143Dx"))  # same length: offsets stay valid
    inputs = files[:2] + [str(broken)] + files[3:]
    out = tmp_path / "out"
    out.mkdir()
    (out / "keep.txt").write_text("not the run's")
    with pytest.raises(ValueError, match=f"Could not correct {broken}.*Nd143Di"):
        pmdask.correct_files(model, inputs, sheet, out, client=client)
    assert os.listdir(out) == ["keep.txt"]


class NoClient:
    """Fails the test if anything is sent to the cluster."""

    def __getattr__(self, name):
        raise AssertionError(f"client.{name} was used")


def test_refusals_on_the_client_before_any_task(fcs_study, simulated, tmp_path):
    files, sheet, model, _ = fcs_study
    damaged = tmp_path / "damaged.pmm"
    damaged.write_bytes(pathlib.Path(model).read_bytes()[:-20])
    with pytest.raises(ValueError, match=str(damaged)):
        pmdask.correct_files(damaged, files, sheet, tmp_path / "out", client=NoClient())
    with pytest.raises(FileNotFoundError, match="No model file"):
        pmdask.correct_files(tmp_path / "none.pmm", files, sheet, tmp_path / "out", client=NoClient())
    _, values, labels = simulated
    with pytest.raises(ValueError, match="cofactor"):  # learnt without FCS channels
        pmdask.correct_files(pairmend.fit(values, labels), files, sheet, tmp_path / "out", client=NoClient())
    with pytest.raises(ValueError, match="batch1_anchor.fcs.*is not in the model"):
        pmdask.correct_files(model, files, None, tmp_path / "out", client=NoClient())
    with pytest.raises(ValueError, match="same name"):
        copy = tmp_path / "copy" / os.path.basename(files[0])
        copy.parent.mkdir()
        shutil.copy(files[0], copy)
        pmdask.correct_files(model, [files[0], str(copy)], sheet, tmp_path / "out", client=NoClient())
    assert not (tmp_path / "out").exists()
