"""Studies larger than one machine: apply a correction model across a Dask cluster.

>>> import dask.array as da, pairmend, pairmend.dask
>>> model = pairmend.dask.fit(data, batch, fit_events=20000)     # a subsample of each batch
>>> corrected = pairmend.dask.apply(model, data, batch)           # lazy, one task per chunk
>>> pairmend.dask.correct_files("study.pmm", files, "batches.csv", "corrected/", client=client)

Importing this module needs Dask (Debian: python3-dask, and python3-distributed for
:func:`correct_files`); the rest of pairmend does not.

Every worker process decodes the model once and builds a batch's search index once, and reuses
them for every block and file of that batch.
Results are bit-identical to :meth:`pairmend.Model.apply` and to ``pairmend-fcs apply``.
"""

import collections
import collections.abc
import hashlib
import os
import threading
import typing

import dask
import dask.array as da
import numpy as np

from . import _core, _labels
from .model import Model, _event_count
from .model import fit as _fit_in_memory

__all__ = ["apply", "fit", "correct_files"]


def apply(model, data, batch) -> da.Array:
    """Corrects the events of a Dask array with a model, lazily, one task per chunk of rows.

    Parameters
    ----------
    model
        A :class:`pairmend.Model` or the path of a model file (.pmm), read here at once.
    data
        A two-dimensional ``dask.array`` (or array-like) of events (rows) by the model's
        parameters (columns), chunked by rows.
    batch
        One label per event, a one-dimensional ``dask.array`` or array-like; rechunked to the
        rows of ``data`` when its chunks differ.

    Returns
    -------
    dask.array.Array
        float64, the corrected events in input order, chunked as ``data``'s rows.

    Raises
    ------
    ValueError
        At once for a model file that cannot be read, data that is not two-dimensional, a
        number of parameters or labels that does not fit; when computed, for a label the
        model does not know.
    """
    shipped = _ShippedModel.of(model)
    data = da.asarray(data)
    batch = da.asarray(batch)
    if data.ndim != 2:
        raise ValueError(
            "data must be a two-dimensional array of events (rows) by parameters (columns), "
            f"not {data.ndim}-dimensional"
        )
    if batch.ndim != 1:
        raise ValueError(f"batch must hold one label per event (one-dimensional), not {batch.ndim}-dimensional")
    if data.shape[1] != shipped.ndim:
        raise ValueError(
            f"The model corrects events of {shipped.ndim} parameters, but data has {data.shape[1]} columns."
        )
    if not np.isnan(data.shape[0]) and not np.isnan(batch.shape[0]) and data.shape[0] != batch.shape[0]:
        raise ValueError(f"batch has {batch.shape[0]} labels, but data has {data.shape[0]} events")
    data = data.rechunk({1: -1})
    if batch.chunks[0] != data.chunks[0]:
        batch = batch.rechunk((data.chunks[0],))
    return da.blockwise(
        _apply_block,
        "ij",
        data,
        "ij",
        batch,
        "i",
        dask.delayed(shipped, pure=True),
        None,
        dtype=np.float64,
        meta=np.empty((0, 0), dtype=np.float64),
    )


def fit(data, batch, *, fit_events: int, condition=None, **settings) -> Model:
    """Learns a model from an evenly spread subsample of every batch, without computing ``data``.

    Of a batch's n events (in input order) those at positions floor(i * n / fit_events) are
    gathered, as :func:`pairmend.fit` chooses them: the model is the same, bit for bit, as
    ``pairmend.fit(data.compute(), batch.compute(), fit_events=fit_events, **settings)``.
    ``batch`` is read twice (to count each batch's events, then to find the chosen rows); of
    ``data`` only the chunks holding chosen rows are read.

    Parameters
    ----------
    data, batch
        As for :func:`apply`.
    fit_events
        The most events fitted per batch.
    condition
        None, or one condition label per event (a Dask or NumPy array, as ``batch``), as for
        :func:`pairmend.fit`; only the chosen rows' labels are read.
    settings
        Further keyword arguments of :func:`pairmend.fit` (parameters, num_neighbors, ...).
    """
    fit_events = _event_count("fit_events", fit_events)
    if fit_events == 0:
        raise ValueError("fit_events must be a whole number of at least 1; pairmend.fit fits on every event")
    data = da.asarray(data)
    batch = da.asarray(batch)
    if data.ndim != 2 or batch.ndim != 1:
        raise ValueError("data must be two-dimensional (events by parameters) and batch one-dimensional")
    if data.shape[0] != batch.shape[0]:
        raise ValueError(f"batch has {batch.shape[0]} labels, but data has {data.shape[0]} events")
    batch = batch.rechunk((data.chunks[0],))
    chunk_parts = batch.to_delayed().ravel().tolist()
    counts = dask.compute(*[dask.delayed(_count_labels)(part) for part in chunk_parts])
    wanted = _chosen_ranks(counts, fit_events)
    starts = np.concatenate([[0], np.cumsum(batch.chunks[0])])
    finders = [
        dask.delayed(_chosen_rows)(part, ranks, int(starts[k]))
        for k, (part, ranks) in enumerate(zip(chunk_parts, wanted))
        if ranks
    ]
    rows = np.sort(np.concatenate([np.empty(0, dtype=np.int64), *dask.compute(*finders)]))
    if condition is None:
        values, labels = dask.compute(data[rows], batch[rows])
        return _fit_in_memory(np.asarray(values), np.asarray(labels), fit_events=None, **settings)
    condition = da.asarray(condition)
    if condition.shape != batch.shape:
        raise ValueError(f"condition has {condition.shape[0]} labels, but data has {data.shape[0]} events")
    values, labels, conditions = dask.compute(data[rows], batch[rows], condition[rows])
    return _fit_in_memory(
        np.asarray(values), np.asarray(labels), fit_events=None, condition=np.asarray(conditions), **settings
    )


def correct_files(
    model,
    files: typing.Sequence,
    batches,
    out_dir,
    *,
    client=None,
) -> typing.List[str]:
    """Corrects FCS files with a model on a Dask cluster, one task per file.

    Every corrected file is byte for byte what ``pairmend-fcs apply`` writes for the same model,
    files and batches. Workers write under temporary names in ``out_dir``, which the client and
    every worker must reach at the same path (a local cluster, or a shared file system); the
    files are renamed into place when every task has succeeded. When any fails, no corrected
    file appears and every temporary file of the run is removed.

    Parameters
    ----------
    model
        A :class:`pairmend.Model` learnt from FCS files, or the path of its model file (.pmm).
    files
        The FCS files to correct; their base names must differ.
    batches
        A batch sheet's path (as ``pairmend-fcs --batches``, which may name further files), a
        dict from file (as given, or its base name) to batch name, or None: every file its own
        batch, named by its base name.
    out_dir
        The folder of the corrected files (created when missing); they keep their base names.
    client
        The ``distributed.Client`` to run on; None uses the current default client.

    Returns
    -------
    list of str
        The corrected files' paths, in the order of ``files``.

    Raises
    ------
    ValueError
        Before any task is sent for a model that cannot be read or holds no FCS channels, a
        batch the model does not know, or a faulty batch sheet; after the tasks, naming the file
        that could not be corrected and why.
    """
    shipped = _ShippedModel.of(model)
    try:
        _core.fcs_model_channels(shipped.model(), shipped.source)
    except ValueError:
        raise ValueError(
            f"The model {shipped.source} holds no FCS channels or cofactor: it was learnt outside "
            "pairmend-fcs (for example with pairmend.fit). Learn the model from FCS files with "
            "pairmend-fcs fit to correct FCS files with it."
        ) from None
    paths = [os.fspath(path) for path in files]
    if not paths:
        raise ValueError("No FCS files were given to correct.")
    _check_distinct_names(paths)
    names, numbers = _plan_batches(paths, batches)
    _core.check_batches_known(shipped.model(), names, shipped.source)
    out_dir = os.fspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    client = _client(client)
    return _FileRun(client, shipped, out_dir).run(paths, [names[number - 1] for number in numbers], numbers)


# ---- the model on the workers --------------------------------------------------------------


class _ShippedModel:
    """A model as its file's bytes, with their digest: what a worker process loads once.

    It carries the bytes themselves, or (for tasks on a shared file system) only the path of a
    model file holding them, which a worker process reads once and checks against the digest.
    """

    def __init__(self, data: bytes, source: str, path: typing.Optional[str] = None):
        self.data = data
        self.source = source
        self.path = path
        self.digest = hashlib.sha256(data).hexdigest()
        self._model = None

    @classmethod
    def of(cls, model) -> "_ShippedModel":
        """From a Model, or from a model file read (and checked) here, before any task is sent."""
        if isinstance(model, Model):
            shipped = cls(_core.model_bytes(model._core), "passed to correct_files")
            shipped._model = model._core
            return shipped
        if not isinstance(model, (str, os.PathLike)):
            raise TypeError(f"model must be a pairmend.Model or the path of a model file, not {type(model).__name__}")
        path = os.fspath(model)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"No model file at {path}")
        with open(path, "rb") as stream:
            shipped = cls(stream.read(), path, os.path.abspath(path))
        shipped._model = _core.model_from_bytes(shipped.data, path)
        return shipped

    def by_path(self) -> "_ShippedModel":
        """A copy that carries only the model file's path and digest."""
        light = _ShippedModel.__new__(_ShippedModel)
        light.__setstate__({**self.__getstate__(), "data": None})
        return light

    @property
    def ndim(self) -> int:
        return len(self.model().parameters)

    def model(self):
        """The model, decoded once per process (shared by every copy of the same bytes)."""
        if self._model is None:
            self._model = _process_cache.model(self)
        return self._model

    def bytes(self) -> bytes:
        """The model file's bytes: carried, or read from the path and checked against the digest."""
        if self.data is not None:
            return self.data
        try:
            with open(self.path, "rb") as stream:
                data = stream.read()
        except OSError as error:
            raise ValueError(f"Could not read the model file {self.path}: {error.strerror}.") from None
        if hashlib.sha256(data).hexdigest() != self.digest:
            raise ValueError(f"The model file {self.path} changed while the files were being corrected.")
        return data

    def __getstate__(self):
        return {"data": self.data, "source": self.source, "path": self.path, "digest": self.digest}

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._model = None

    def __dask_tokenize__(self):
        return ("pairmend-model", self.digest)


class _ProcessCache:
    """Per process: the decoded models and their batches' correctors, each built once.

    A few models are kept (the least recently used is dropped), so a long-lived worker that
    applies many models does not keep them all.
    """

    _MODELS_KEPT = 4

    def __init__(self):
        self._lock = threading.Lock()
        self._models = collections.OrderedDict()  # digest -> (core model, {batch: corrector})
        self.models_decoded = 0  # counts, for tests and benchmarks
        self.indexes_built = 0

    def _entry(self, shipped):
        entry = self._models.get(shipped.digest)
        if entry is None:
            entry = (_core.model_from_bytes(shipped.bytes(), shipped.source), {})
            self.models_decoded += 1
            self._models[shipped.digest] = entry
            while len(self._models) > self._MODELS_KEPT:
                self._models.popitem(last=False)
        self._models.move_to_end(shipped.digest)
        return entry

    def model(self, shipped):
        with self._lock:
            return self._entry(shipped)[0]

    def corrector(self, shipped, batch: str):
        # Built under the lock, so that two threads of a worker never build the same index twice.
        with self._lock:
            model, correctors = self._entry(shipped)
            corrector = correctors.get(batch)
            if corrector is None:
                corrector = _core.BatchCorrector(model, batch)
                self.indexes_built += 1
                correctors[batch] = corrector
            return corrector


_process_cache = _ProcessCache()


def _apply_block(block, labels, shipped):
    """Corrects one chunk of rows: each batch's rows with that batch's cached corrector."""
    corrected = np.empty(block.shape, dtype=np.float64)
    if block.shape[0] == 0:
        return corrected
    if len(labels) != block.shape[0]:
        raise ValueError(f"batch has {len(labels)} labels for a chunk of {block.shape[0]} events")
    keys = _label_keys(labels)
    present, inverse = np.unique(keys, return_inverse=True)
    for k, label in enumerate(present.tolist()):
        rows = np.flatnonzero(inverse == k)
        corrected[rows] = _process_cache.corrector(shipped, str(label)).apply(block[rows])
    return corrected


def _label_keys(labels) -> np.ndarray:
    """The labels as pairmend reads them: an int64 array, or an object array of texts."""
    normalised = _labels(np.asarray(labels))
    if isinstance(normalised, list):
        return np.asarray(normalised, dtype=object)
    return normalised


# ---- the subsample of fit -------------------------------------------------------------------


def _count_labels(labels) -> dict:
    """The number of events of every label in one chunk."""
    present, counts = np.unique(_label_keys(labels), return_counts=True)
    return dict(zip(present.tolist(), counts.tolist()))


def _chosen_ranks(counts: typing.Sequence[dict], fit_events: int) -> typing.List[dict]:
    """Per chunk, per label: the ranks within the chunk's events of that label that are chosen."""
    totals = collections.Counter()
    for chunk in counts:
        totals.update(chunk)
    kinds = {type(label) for label in totals}
    if len(kinds) > 1:
        raise TypeError("batch labels must be all integers or all texts, not both")
    chosen = {label: _core.even_positions(n, fit_events) for label, n in totals.items()}
    wanted = []
    seen = collections.Counter()
    for chunk in counts:
        ranks = {}
        for label, c in chunk.items():
            positions = chosen[label]
            lo, hi = np.searchsorted(positions, [seen[label], seen[label] + c])
            if hi > lo:
                ranks[label] = positions[lo:hi] - seen[label]
            seen[label] += c
        wanted.append(ranks)
    return wanted


def _chosen_rows(labels, ranks: dict, start: int) -> np.ndarray:
    """The rows (in the whole array) of a chunk's chosen events."""
    keys = _label_keys(labels)
    rows = [np.flatnonzero(keys == label)[wanted] for label, wanted in ranks.items()]
    return np.concatenate(rows).astype(np.int64) + start


# ---- FCS files ------------------------------------------------------------------------------


def _client(client):
    if client is not None:
        return client
    import distributed

    try:
        return distributed.default_client()
    except ValueError:
        raise ValueError(
            "correct_files runs on a Dask cluster, but no client was given and none is started. "
            "Start one with distributed.Client() (a local cluster) or Client('tcp://scheduler:8786')."
        ) from None


def _check_distinct_names(paths):
    seen = {}
    for path in paths:
        name = os.path.basename(path)
        if name in seen:
            raise ValueError(
                f"{seen[name]} and {path} have the same name {name}: their corrected files would "
                "overwrite each other. Rename one of them."
            )
        seen[name] = path


def _plan_batches(paths, batches):
    """(batch names by number, batch number of every file), numbered as pairmend-fcs numbers them."""
    if batches is None:
        return _core.fcs_batch_plan(paths, "")
    if isinstance(batches, (str, os.PathLike)):
        return _core.fcs_batch_plan(paths, os.fspath(batches))
    if not isinstance(batches, collections.abc.Mapping):
        raise TypeError("batches must be a batch sheet's path, a dict from file to batch name, or None")
    given = {os.fspath(key): value for key, value in batches.items()}
    per_file = []
    for path in paths:
        name = given.get(path, given.get(os.path.basename(path)))
        if name is None:
            raise ValueError(f"batches names no batch for {path}. Give every file's batch.")
        if not isinstance(name, str) or not name.strip():
            raise ValueError(f"The batch of {path} must be a non-empty text, not {name!r}.")
        per_file.append(name.strip())
    return _core.fcs_number_batches(per_file)


class _FileRun:
    """One call of correct_files: its tasks and the output transaction of their files (the
    programs' own), which moves them into place together or removes everything the run wrote."""

    def __init__(self, client, shipped, out_dir):
        self.client = client
        self.shipped = shipped
        self.out_dir = out_dir
        self.outputs = _core.OutputTransaction()
        self.token = self.outputs.token
        # Tasks that start after a failure see this file and write nothing.
        self.abandoned = os.path.join(out_dir, f".pairmend-{self.token}.abandoned")

    def run(self, paths, batch_names, numbers):
        import distributed

        # Each task carries only the model file's path and digest; each worker process reads the
        # file once (the model and out_dir are on a file system every worker shares). A model
        # without a file is written into out_dir first, under the run's token. Tasks then depend
        # on no other task, so the scheduler spreads them over every worker.
        if self.shipped.path is None:
            self.shipped.path = os.path.abspath(os.path.join(self.out_dir, f".model.{self.token}.pmm"))
            with open(self.shipped.path, "wb") as stream:
                stream.write(self.shipped.data)
        model = self.shipped.by_path()
        finals = [os.path.join(self.out_dir, os.path.basename(path)) for path in paths]
        futures = [
            self.client.submit(
                _correct_file_task,
                model,
                path,
                name,
                number,
                self.outputs.add(final),
                self.abandoned,
                key=f"pairmend-correct-{self.token}-{k}",
                pure=False,
            )
            for k, (path, name, number, final) in enumerate(zip(paths, batch_names, numbers, finals))
        ]
        try:
            # After the first failure the tasks not yet started write nothing.
            for future in distributed.as_completed(futures):
                if future.status != "finished":
                    self._mark_abandoned()
                    break
            distributed.wait(futures)
            failed = [k for k, future in enumerate(futures) if future.status != "finished"]
        except BaseException:
            # Interrupted while tasks may still run: the marker stays, so that a task finishing
            # later removes its own temporary file.
            self._mark_abandoned()
            self.client.cancel(futures)
            self.outputs.discard()
            self._remove_leftovers(keep=self.abandoned)
            raise
        try:
            if failed:
                # The file that failed by itself, not one that was skipped after it.
                k = next((k for k in failed if not isinstance(futures[k].exception(), _RunAbandoned)), failed[0])
                error = futures[k].exception()
                raise ValueError(f"Could not correct {paths[k]}: {_message(error)}") from error
            self.outputs.commit()
            return finals
        finally:
            self.outputs.discard()
            self._remove_leftovers()
            for future in futures:
                future.release()

    def _mark_abandoned(self):
        with open(self.abandoned, "w"):
            pass

    def _remove_leftovers(self, keep=None):
        """Removes every other file of the run's token (but `keep`): the abandon marker, the model
        file written for the workers, and a file a task wrote after the transaction was discarded."""
        for entry in os.listdir(self.out_dir):
            if self.token in entry and os.path.join(self.out_dir, entry) != keep:
                try:
                    os.remove(os.path.join(self.out_dir, entry))
                except FileNotFoundError:
                    pass


class _RunAbandoned(RuntimeError):
    """A task that wrote nothing because another file of its run had failed."""


def _message(error) -> str:
    text = str(error)
    return text if text else type(error).__name__


def _correct_file_task(shipped, path, batch, number, temporary, abandoned):
    """On a worker: corrects one file into its temporary file of the run's transaction."""
    if os.path.exists(abandoned):
        raise _RunAbandoned("not corrected: another file of the run failed")
    try:
        corrector = _process_cache.corrector(shipped, batch)
        corrector.correct_fcs_file(path, number, temporary, shipped.source)
        if os.path.exists(abandoned):
            raise _RunAbandoned("not kept: another file of the run failed")
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise

