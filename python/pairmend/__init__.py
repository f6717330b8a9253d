"""Batch correction of cytometry events by mutual nearest neighbours (MNN).

The same correction engine as the ``pairmend`` program, for NumPy arrays and AnnData objects:

>>> result = pairmend.correct(values, batch)          # events by parameters, one label per event
>>> result.corrected, result.merge_order, result.num_pairs

Batch labels are numbered in ascending order (integers by value, texts by their characters),
as the program numbers the labels of its input table. That numbering picks the first reference
under ``reference_policy="Input"``, gives the merge order when ``automatic_order`` is false and
breaks ties in the automatic order. The same values and settings give the same corrected values
as a job of the program.
"""

import dataclasses
import functools
import inspect
import numbers
import os
import typing

import numpy as np

from . import _core

__all__ = ["Correction", "METHODS", "correct", "correct_anndata", "default_num_threads"]

#: The correction methods, the default first: "mnn" (mutual nearest neighbours, the program's
#: correction) and "curves" (per-channel curves matched population by population, then a smooth
#: local field); see docs/methods.md.
METHODS = list(_core.METHODS)

_REFERENCE_POLICIES = tuple(_core.REFERENCE_POLICIES)

# Every setting's default, from the engine's shared settings.
_DEFAULTS = _core.engine_defaults()

_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


@dataclasses.dataclass(frozen=True)
class Correction:
    """The result of :func:`correct`."""

    #: The corrected values, float64, events (rows) in input order by parameters (columns).
    corrected: np.ndarray
    #: The batch labels in the order in which the batches joined the reference, first reference first.
    merge_order: list
    #: The mutual nearest-neighbour pairs found at every merge step after the first reference.
    num_pairs: list
    #: Every setting the engine ran with, by name, defaults and the thread count included.
    settings: dict


def default_num_threads() -> int:
    """The engine threads used when ``num_threads`` is None, as the program chooses them: half of
    what OpenMP offers (``OMP_NUM_THREADS`` or the processor count), at least one."""
    return _core.default_num_threads()


def _whole_number(name, value, minimum=_INT_MIN):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    value = int(value)
    if not minimum <= value <= _INT_MAX:
        raise ValueError(f"{name} must be from {minimum} to {_INT_MAX}, not {value}")
    return value


def _real_number(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {value!r}")
    value = float(value)
    if not np.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value}")
    return value


def _flag(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _policy(name, value):
    if not isinstance(value, str):
        names = ", ".join(_REFERENCE_POLICIES)
        raise TypeError(f"{name} must be one of {names}, not {value!r}")
    return value


# The check of each kind of engine setting; the engine checks the ranges with the program's messages.
_KIND_CHECKS = {"whole_number": _whole_number, "number": _real_number, "flag": _flag, "policy": _policy}

# The engine's settings by keyword and their kinds, in the order of the job file.
_SETTING_KINDS = dict(_core.SETTING_KINDS)


def _checked_settings(given):
    """Every engine setting, by keyword in the order of the job file: those in ``given`` checked for
    their kind as the program checks a job file's (a policy first, then the others), the rest at the
    engine's defaults."""
    arguments = {**_DEFAULTS, **given}
    order = sorted(_SETTING_KINDS, key=lambda key: _SETTING_KINDS[key] != "policy")
    checked = {key: _KIND_CHECKS[_SETTING_KINDS[key]](key, arguments[key]) for key in order}
    return {key: checked[key] for key in _SETTING_KINDS}


# The annotation of each kind of engine setting in a signature.
_KIND_TYPES = {"whole_number": int, "number": float, "flag": bool, "policy": str}


def _takes_engine_settings(function):
    """Gives ``function`` the engine's settings as keyword arguments, with the engine's defaults and
    in the order of the job file, in place of its keyword-only parameter ``settings``, which then
    receives them checked in one dict. A setting added to the engine's table appears here without
    an edit; any other unknown keyword is refused by ``function`` as Python refuses one."""

    @functools.wraps(function)
    def with_settings(*args, **kwargs):
        given = {key: kwargs.pop(key) for key in _SETTING_KINDS if key in kwargs}
        return function(*args, settings=_checked_settings(given), **kwargs)

    signature = inspect.signature(function)
    parameters = []
    for parameter in signature.parameters.values():
        if parameter.name != "settings":
            parameters.append(parameter)
            continue
        parameters += [
            inspect.Parameter(key, inspect.Parameter.KEYWORD_ONLY, default=_DEFAULTS[key],
                              annotation=_KIND_TYPES[kind])
            for key, kind in _SETTING_KINDS.items()
        ]
    with_settings.__signature__ = signature.replace(parameters=parameters)
    return with_settings


def _values(data):
    """data as a float32 or float64 array, without copying one of those (any strides stay)."""
    array = np.asarray(data)
    if array.dtype in (np.float32, np.float64):
        return array
    kind = array.dtype.kind
    if kind in "biu" or array.dtype == np.float16:
        return array.astype(np.float64)
    if kind == "f" and array.dtype.itemsize in (4, 8):
        # The other byte order, as files written on other machines give it.
        return array.astype(array.dtype.newbyteorder("="))
    if kind == "f":
        raise TypeError(f"data must hold float32 or float64 values, not {array.dtype}")
    if kind == "O" and all(_is_real(value) for value in array.flat):
        return array.astype(np.float64)
    raise TypeError(f"data must hold numbers, not {array.dtype}")


def _matrix(data):
    """data as :func:`_values` gives it, which must be two-dimensional: events by parameters."""
    values = _values(data)
    if values.ndim != 2:
        raise ValueError(
            "data must be a two-dimensional array of events (rows) by parameters (columns), "
            f"not {values.ndim}-dimensional"
        )
    return values


def _threads(num_threads):
    """The engine threads for ``num_threads``: :func:`default_num_threads` for None, else the
    checked count, at most what the engine can start."""
    if num_threads is None:
        return default_num_threads()
    return min(_whole_number("num_threads", num_threads, minimum=1), _core.max_num_threads())


def _is_real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _conditions(condition):
    """condition as _labels gives batch labels, or None when not given."""
    return None if condition is None else _labels(condition, what="condition")


def _labels(batch, what="batch"):
    """batch as an int64 array or a list of str, one label per event."""
    # A list of mixed labels must not become texts silently, as NumPy would make it.
    labels = np.asarray(batch) if hasattr(batch, "dtype") else np.asarray(batch, dtype=object)
    if labels.ndim != 1:
        raise ValueError(
            f"{what} must hold one label per event (one-dimensional), not {labels.ndim}-dimensional"
        )
    if labels.dtype.kind == "O":
        values = labels.tolist()
        if all(isinstance(value, str) for value in values):
            return values
        if all(_is_real(value) for value in values):
            integers = all(isinstance(value, numbers.Integral) for value in values)
            try:
                labels = np.array(values, dtype=np.int64 if integers else np.float64)
            except OverflowError:
                raise ValueError(f"{what} labels must fit in a 64-bit signed integer") from None
        else:
            kinds = sorted({type(value).__name__ for value in values})
            raise TypeError(f"{what} labels must be all integers or all texts, not {', '.join(kinds)}")
    kind = labels.dtype.kind
    if kind in "iu":
        if kind == "u" and labels.size and labels.max() > np.iinfo(np.int64).max:
            raise ValueError(f"{what} labels must fit in a 64-bit signed integer")
        return labels.astype(np.int64)
    if kind == "f":
        whole = np.isfinite(labels) & (labels == np.round(labels))
        if not whole.all():
            event = int(np.argmin(whole))
            raise ValueError(
                f"{what} labels must be whole numbers or texts, but {what}[{event}] is {labels[event]}"
            )
        return labels.astype(np.int64)
    if kind == "U":
        return labels.tolist()
    raise TypeError(f"{what} labels must be integers or texts, not {labels.dtype}")


def _checked_method(method):
    if not isinstance(method, str):
        raise TypeError(f"method must be a text, one of {METHODS}, not {method!r}")
    if method not in METHODS:
        raise ValueError(f"Unknown correction method {method!r}: the methods are {', '.join(METHODS)}.")
    return method


@_takes_engine_settings
def correct(
    data,
    batch,
    *,
    settings: dict,
    num_threads: typing.Optional[int] = None,
    method: str = METHODS[0],
    condition=None,
) -> Correction:
    """Corrects the batch effects of ``data``, by default by mutual nearest neighbours.

    Parameters
    ----------
    data
        Events (rows) by measured parameters (columns): any two-dimensional array-like of numbers.
        float32 and float64 arrays are read in place, whatever their strides or order.
    batch
        One batch label per event: integers or texts. At least two labels must differ.
    num_neighbors, num_mads, robust_iterations, robust_trim, approximate, automatic_order, reference_policy
        The program's settings of the same names, with the same defaults and checks.
    num_threads
        Engine threads; None uses :func:`default_num_threads`. Results do not depend on it. More
        threads than the processors or ``OMP_NUM_THREADS``, whichever is larger, only cost memory
        (and a count in the millions would end the process), so a larger count uses that many.
    method
        One of :data:`METHODS`: ``"mnn"`` (the default, the program's correction) or ``"curves"``
        (per-channel curves matched population by population, then a smooth local field; the
        mutual nearest-neighbour settings choose the merge order and match the populations).
    condition
        None, or one condition label per event (integers or texts): the biological group or kind
        of sample (``"mock"``, ``"virus"``, ``"anchor"``). Each merge then learns only from the
        events of the conditions both the batch and the batches merged before it hold, and
        corrects every event of the batch with that; a batch sharing no condition with the others
        is refused (see docs/methods.md).

    Returns
    -------
    Correction
        ``corrected`` (float64, events in input order), ``merge_order`` (labels) and ``num_pairs``.

    Raises
    ------
    ValueError
        With the program's message for a single batch, a value that is infinite or not a
        number, fewer neighbours than 1, a trimming proportion outside 0 to 1, negative
        iterations, an unknown reference policy or a batch that shares no mutual nearest
        neighbours with the batches before it; also when the shapes of data and batch do not match.
    TypeError
        When a setting, the data or the labels are of the wrong kind.
    """
    num_threads = _threads(num_threads)
    method = _checked_method(method)
    values = _matrix(data)
    used = {**settings, "num_threads": num_threads, "method": method}
    conditions = _conditions(condition)
    corrected, merge_order, num_pairs = _core.correct(
        values, _labels(batch), settings, num_threads, method, conditions
    )
    return Correction(corrected=corrected, merge_order=merge_order, num_pairs=num_pairs, settings=used)


def correct_anndata(
    adata,
    batch_key: str,
    *,
    layer: typing.Optional[str] = None,
    key_added: str = "pairmend",
    condition: typing.Optional[str] = None,
    **settings,
) -> Correction:
    """Corrects an AnnData object's events (``adata.X``, or ``adata.layers[layer]``) in place.

    The corrected values (float64; a sparse matrix is made dense) go to ``adata.layers[key_added]``;
    ``adata.uns[key_added]`` receives the settings used, the batch key, the layer, the merge order
    and the pair counts. Nothing is stored when the correction fails.

    Parameters
    ----------
    adata
        An ``anndata.AnnData`` with events as observations.
    batch_key
        The column of ``adata.obs`` that holds the batch labels.
    layer
        The layer to correct; None corrects ``adata.X``.
    key_added
        Where the result is stored.
    condition
        None, or the column of ``adata.obs`` that holds every event's condition (see
        :func:`correct`).
    **settings
        The settings of :func:`correct`.

    Returns
    -------
    Correction
        The result of :func:`correct`, as also stored in ``adata``.

    Raises
    ------
    KeyError
        When ``batch_key`` is not a column of ``adata.obs`` or ``layer`` is not a layer.
    ValueError, TypeError
        As :func:`correct`.
    """
    if batch_key not in adata.obs.columns:
        raise KeyError(f"adata.obs has no column {batch_key!r}")
    if layer is None:
        matrix = adata.X
        if matrix is None:
            raise ValueError("adata.X is empty; name a layer to correct")
    else:
        if layer not in adata.layers:
            raise KeyError(f"adata.layers has no layer {layer!r}")
        matrix = adata.layers[layer]
    if hasattr(matrix, "toarray"):
        matrix = matrix.toarray()

    batch = adata.obs[batch_key].to_numpy()
    if condition is not None:
        if condition not in adata.obs.columns:
            raise KeyError(f"adata.obs has no column {condition!r}")
        settings["condition"] = adata.obs[condition].to_numpy()
    result = correct(matrix, batch, **settings)

    adata.layers[key_added] = result.corrected
    adata.uns[key_added] = {
        "settings": dict(result.settings),
        "batch_key": batch_key,
        "layer": "X" if layer is None else layer,
        "merge_order": np.asarray(result.merge_order),
        "num_pairs": np.asarray(result.num_pairs, dtype=np.int64),
    }
    return result


if hasattr(_core, "read_fcs"):

    @dataclasses.dataclass(frozen=True)
    class FcsData:
        """The first data set of an FCS file, as :func:`read_fcs` returns it."""

        #: float64, events (rows) by channels (columns), on the linear scale (the channels that
        #: ``transforms`` names on their transform's scale).
        values: np.ndarray
        #: The channels' short names ($PnN).
        names: list
        #: The channels' marker or long names ($PnS); "" where the file gives none.
        labels: list
        #: Every TEXT keyword, names as written in the file.
        keywords: dict
        #: The spillover matrix the values were compensated with, as pairmend-fcs records it in
        #: PAIRMEND_COMPENSATION ("the file's $SPILLOVER (4 channels: ...)"); "" when they were not.
        compensation: str = ""

    def read_fcs(path, compensation="auto", transforms=None) -> FcsData:
        """Reads the first data set of a list-mode FCS file (2.0, 3.0 or 3.1).

        Values of log-amplified integer channels are converted to the linear scale; every other
        value is returned as stored. The values are then compensated as ``pairmend-fcs
        --compensation`` compensates a file: ``"auto"`` (the default) with the spillover matrix the
        file carries ($SPILLOVER, SPILL, $SPILL or $DFCiTOj; none for a mass cytometer's file or
        when it has no usable one), ``"none"`` not at all, or the name of a CSV file of a spillover
        matrix (a header of channel names, then one row per channel). Compensated values are the
        linear values of the matrix's channels times its inverse; the other channels are unchanged.

        ``transforms`` transforms the channels it names as ``pairmend-fcs --transforms`` does,
        after compensation: the name of a transforms file (a header, then
        ``channel,transform,parameters`` lines), or a dict from a channel ($PnN or $PnS) to its
        transform and parameters, such as ``{"CD3": "arcsinh 150", "CD4": "logicle 262144 0.5 4.5 0",
        "CD8": "linear"}``. The other channels stay on the linear scale.

        Raises
        ------
        FileNotFoundError
            When there is no file at ``path``.
        ValueError
            Naming the file and what is wrong when it is not a readable FCS file, or a matrix file
            cannot be read or used with it, or a transform cannot be used (naming its line).
        """
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"No FCS file at {path}")
        if not isinstance(compensation, (str, os.PathLike)):
            raise TypeError(f'compensation must be "auto", "none" or the name of a CSV file, not {compensation!r}')
        transforms_file, pairs = "", []
        if isinstance(transforms, (str, os.PathLike)):
            transforms_file = os.fspath(transforms)
        elif isinstance(transforms, dict):
            pairs = [(str(channel), str(transform)) for channel, transform in transforms.items()]
        elif transforms is not None:
            raise TypeError(
                f"transforms must be None, the name of a transforms file or a dict of channel to transform, "
                f"not {transforms!r}"
            )
        values, names, labels, keywords, used = _core.read_fcs(path, os.fspath(compensation), transforms_file, pairs)
        return FcsData(values=values, names=names, labels=labels, keywords=keywords, compensation=used)

    __all__ += ["FcsData", "read_fcs"]

# Correction models (fit once, apply, extend); imported last, as they use the helpers above.
from .model import Model, fit, load_model  # noqa: E402

__all__ += ["Model", "fit", "load_model"]
