"""Correction models: learn a correction once, apply it to more events, add batches later.

>>> model = pairmend.fit(anchors, anchor_batch)             # e.g. each batch's control sample
>>> corrected = model.apply(values, batch)                   # any events of those batches
>>> model = model.extend(new_values, new_batch)              # later batches; old ones unchanged
>>> model.save("study.pmm"); model = pairmend.load_model("study.pmm")

Batches are named by their labels as text (``5`` becomes ``"5"``) and numbered as
:func:`pairmend.correct` numbers them, so a model fitted on every event with the same settings
corrects those events exactly as :func:`pairmend.correct` does, bit for bit.
"""

import os
import typing

import numpy as np

from . import _core
from . import (
    METHODS,
    _checked_method,
    _takes_engine_settings,
    _conditions,
    _labels,
    _matrix,
    _threads,
    _whole_number,
)

__all__ = ["Model", "fit", "load_model"]


def _event_count(name, value):
    """None as 0 (every event), else a whole number of at least 1."""
    if value is None:
        return 0
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number or None, not {value!r}")
    value = int(value)
    if not 1 <= value < 2**63:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _listed(name, doc):
    """A read-only property of :class:`Model`: its core's ``name``, as a new list."""
    return property(lambda self: list(getattr(self._core, name)), doc=doc)


class Model:
    """A learnt correction: what every batch's correction learnt, the settings and the merge order.

    Made by :func:`fit`, :meth:`extend` or :func:`load_model`; not changed by any method.
    """

    def __init__(self, core):
        self._core = core

    batches = _listed("batches", "The batch names (texts) in merge order, the first reference first.")
    parameters = _listed("parameters", "The parameter names given to :func:`fit`, or ``p1 .. pD``.")
    num_pairs = _listed(
        "num_pairs", "The mutual nearest-neighbour pairs of every merge step after the first reference."
    )
    fitted_events = _listed("fitted_events", "The events every batch was fitted on, in merge order.")

    @property
    def method(self) -> str:
        """The correction method, one of :data:`pairmend.METHODS`."""
        return self._core.method

    @property
    def conditions(self) -> list:
        """The conditions the model was learnt with, as texts; empty when learnt without."""
        return list(self._core.conditions)

    @property
    def settings(self) -> dict:
        """The engine settings of the fit, by name."""
        return dict(self._core.settings)

    def apply(self, data, batch, *, num_threads: typing.Optional[int] = None) -> np.ndarray:
        """Corrects events of batches the model knows, as the fit corrected their batch.

        Parameters
        ----------
        data
            Events (rows) by parameters (columns), the model's parameters in its order.
        batch
            One label per event; every label must name a batch of the model.
        num_threads
            Engine threads; None uses :func:`pairmend.default_num_threads`. Results do not depend on it.

        Returns
        -------
        numpy.ndarray
            float64, the corrected events in input order.

        Raises
        ------
        ValueError
            For a label the model does not know (nothing is corrected), a wrong number of
            parameters, or a value that is infinite or not a number.
        """
        return _core.apply(self._core, _matrix(data), _labels(batch), _threads(num_threads))

    def extend(
        self,
        data,
        batch,
        *,
        fit_events: typing.Optional[int] = None,
        num_threads: typing.Optional[int] = None,
        condition=None,
    ) -> "Model":
        """A new model with new batches corrected onto this model's stored reference.

        The new model holds this model's batches unchanged, then the new ones in automatic merge
        order among themselves; this model is not changed.

        Parameters
        ----------
        data, batch
            The events of the new batches and one label per event; no label may name a batch the
            model already holds.
        fit_events
            Fit each new batch on at most this many evenly spread events; None fits on all.
        num_threads
            Engine threads; None uses :func:`pairmend.default_num_threads`.
        condition
            One condition label per event, as for :func:`pairmend.correct`: needed when the model
            was learnt with conditions, refused when it was learnt without.

        Raises
        ------
        ValueError
            For a batch the model already holds, a wrong number of parameters, or a batch that
            shares no mutual nearest neighbours with the reference.
        """
        fit_events = _event_count("fit_events", fit_events)
        core = _core.extend(
            self._core, _matrix(data), _labels(batch), _threads(num_threads), fit_events, _conditions(condition)
        )
        return Model(core)

    def save(self, path) -> None:
        """Writes the model file (.pmm) atomically: a failed write leaves any earlier file unchanged."""
        _core.save_model(self._core, os.fspath(path))

    def __repr__(self):
        return (f"<pairmend.Model of {len(self.batches)} batches, {len(self.parameters)} parameters, "
                f"method {self.method!r}>")


@_takes_engine_settings
def fit(
    data,
    batch,
    *,
    fit_events: typing.Optional[int] = None,
    parameters: typing.Optional[typing.Sequence[str]] = None,
    settings: dict,
    reference_events: int = 200000,
    num_threads: typing.Optional[int] = None,
    method: str = METHODS[0],
    condition=None,
) -> Model:
    """Learns a correction of the batch effects of ``data`` and returns it as a :class:`Model`.

    Parameters
    ----------
    data, batch
        As for :func:`pairmend.correct`.
    fit_events
        Fit on at most this many events per batch: of a batch's n events (in input order), those
        at positions floor(i * n / fit_events). None fits on every event.
    parameters
        One name per column; None names them ``p1 .. pD``.
    num_neighbors, num_mads, robust_iterations, robust_trim, approximate, automatic_order, reference_policy
        As for :func:`pairmend.correct`.
    reference_events
        The most corrected events the model keeps, evenly spread, for :meth:`Model.extend`.
    num_threads
        Engine threads; None uses :func:`pairmend.default_num_threads`. Results do not depend on it.
    method
        As for :func:`pairmend.correct`; the model applies and extends with it.
    condition
        As for :func:`pairmend.correct`; the model keeps the conditions (:attr:`Model.conditions`),
        applies without them and needs them for :meth:`Model.extend`.

    Raises
    ------
    ValueError, TypeError
        As :func:`pairmend.correct`.
    """
    reference_events = _whole_number("reference_events", reference_events, minimum=0)
    fit_events = _event_count("fit_events", fit_events)
    method = _checked_method(method)
    values = _matrix(data)
    if parameters is None:
        names = []
    else:
        if isinstance(parameters, str) or not all(isinstance(name, str) for name in parameters):
            raise TypeError("parameters must be a sequence of texts, one per column")
        names = list(parameters)
        if len(names) != values.shape[1]:
            raise ValueError(f"parameters names {len(names)} columns, but data has {values.shape[1]}")
    core = _core.fit(
        values,
        _labels(batch),
        settings,
        _threads(num_threads),
        reference_events,
        fit_events,
        names,
        method,
        None,
        _conditions(condition),
    )
    return Model(core)


def load_model(path) -> Model:
    """Reads a model file (.pmm).

    Raises
    ------
    FileNotFoundError
        When there is no file at ``path``.
    ValueError
        Naming the file and the fault when it is truncated, corrupt, of a newer format version or
        not a model file at all.
    """
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"No model file at {path}")
    return Model(_core.load_model(path))
