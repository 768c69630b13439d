"""The state of a fitted estimator as plain arrays and numbers: for pickling, files and merging.

`stream_state` and `estimator_from_state` are the stable private interface that pickling, `save`,
`load`, `merge` and the distributed layer share. A state is a dict with the keys of `STATE_KEYS`:
the engine's summary (`coefficients`, `information`, `n_samples_seen`, `batch_count`,
`previous_lambda`, `weight_sum`), the layer's own (`scale`, `score_gram` or None, `history`, a list
of per-batch dicts), what the first batch fixed (`dtype`, `n_features_in`, `feature_names` or None)
and the constructor parameters (`params`). Files hold the same content as one ``.npz`` with no
pickled object in it.
"""

from __future__ import annotations

import json
import os
import zipfile
import zlib
from typing import IO, Any

import numpy as np

from quillfen._design import engine_array
from quillfen._native_cpu import NativeCpuEngine, version

FORMAT_VERSION = 1
ENGINE_KEYS = (
    "coefficients",
    "information",
    "n_samples_seen",
    "batch_count",
    "previous_lambda",
    "weight_sum",
)
STATE_KEYS = (
    *ENGINE_KEYS,
    "scale",
    "score_gram",
    "history",
    "dtype",
    "n_features_in",
    "feature_names",
    "params",
)
HISTORY_FIELDS = {
    "rows": np.int64,
    "iterations": np.int64,
    "converged": np.bool_,
    "objective": np.float64,
    "lambda_value": np.float64,
    "bandwidth": np.float64,
    "used_regularized_fallback": np.bool_,
}


def stream_state(estimator: Any) -> dict[str, Any]:
    """The complete state of a fitted `StreamingHuberRegressor`, sharing nothing with it.

    Raises NotFittedError when the estimator has not been fitted.
    """
    from sklearn.utils.validation import check_is_fitted  # type: ignore[import-untyped]

    check_is_fitted(estimator)
    summary = estimator._engine.state()
    state: dict[str, Any] = {key: summary[key] for key in ENGINE_KEYS}
    gram = estimator.__dict__.get("_score_gram")
    names = estimator.__dict__.get("feature_names_in_")
    state.update(
        scale=float(estimator.scale_),
        score_gram=None if gram is None else gram.copy(),
        history=[dict(record) for record in estimator.history_],
        dtype=estimator._engine.dtype,
        n_features_in=int(estimator.n_features_in_),
        feature_names=None if names is None else np.array(names, dtype=object),
        params=estimator.get_params(),
    )
    return state


def estimator_from_state(state: dict[str, Any]) -> Any:
    """A fitted `StreamingHuberRegressor` rebuilt from `stream_state`'s dict (or an equal one).

    Raises ValueError when the parts of the state do not fit together.
    """
    from quillfen._estimator import StreamingHuberRegressor

    try:
        estimator = StreamingHuberRegressor(**state["params"])
    except TypeError as error:
        raise ValueError(f"the saved parameters do not fit this quillfen: {error}") from error
    estimator._check_params()
    restore_into(estimator, state)
    return estimator


def restore_into(estimator: Any, state: dict[str, Any]) -> None:
    """Installs `state` as the learned state of `estimator`, whose parameters are already set.

    Everything is checked before anything is written. Raises ValueError on inconsistent parts.
    """
    n_features = int(state["n_features_in"])
    n_parameters = n_features + int(bool(estimator.fit_intercept))
    dtype = str(state["dtype"])
    if dtype not in ("float32", "float64"):
        raise ValueError(f"unknown element type {dtype!r} in the saved state")
    coefficients = engine_array(state["coefficients"], dtype)
    information = engine_array(state["information"], dtype)
    _check_shape("coefficients", coefficients, (n_parameters,))
    _check_shape("information", information, (n_parameters, n_parameters))
    gram = state["score_gram"]
    if gram is not None:
        gram = np.array(gram, dtype=np.float64)
        _check_shape("score_gram", gram, (n_parameters, n_parameters))
    names = state["feature_names"]
    if names is not None:
        names = np.asarray(names, dtype=object)
        _check_shape("feature_names", names, (n_features,))
    history = [dict(record) for record in state["history"]]
    if len(history) != int(state["batch_count"]):
        raise ValueError("the saved history does not have one record per batch")
    scale = float(state["scale"])
    if not (np.isfinite(scale) and scale > 0):
        raise ValueError("the saved scale must be a positive number")

    engine = NativeCpuEngine(dtype, n_parameters, estimator.n_threads)  # type: ignore[arg-type]
    engine.restore(
        coefficients,
        information,
        int(state["n_samples_seen"]),
        int(state["batch_count"]),
        float(state["previous_lambda"]),
        float(state["weight_sum"]),
    )
    estimator._forget()
    estimator._engine = engine
    estimator.scale_ = scale
    estimator._threshold = float(estimator.tau) * scale
    estimator._coefficients = coefficients.copy()
    estimator._information = information.copy()
    estimator._weight_sum = float(state["weight_sum"])
    if gram is not None:
        estimator._score_gram = gram
    estimator.n_features_in_ = n_features
    if names is not None:
        estimator.feature_names_in_ = names
    estimator._set_coefficients(estimator._coefficients)
    estimator.n_samples_seen_ = int(state["n_samples_seen"])
    estimator.n_batches_ = int(state["batch_count"])
    last = history[-1] if history else {"iterations": 0, "converged": True}
    estimator.n_iter_ = int(last["iterations"])
    estimator.converged_ = bool(last["converged"])
    estimator.history_ = history


def save_state(state: dict[str, Any], path: str | os.PathLike[str] | IO[bytes]) -> None:
    """Writes a state to one ``.npz`` file: arrays, numbers and JSON text only, never pickles."""
    arrays: dict[str, Any] = {
        "format_version": np.int64(FORMAT_VERSION),
        "dtype": np.str_(state["dtype"]),
        "n_features_in": np.int64(state["n_features_in"]),
        "params": np.str_(json.dumps(state["params"], sort_keys=True, default=_plain_number)),
        "scale": np.float64(state["scale"]),
        "n_samples_seen": np.int64(state["n_samples_seen"]),
        "batch_count": np.int64(state["batch_count"]),
        "previous_lambda": np.float64(state["previous_lambda"]),
        "weight_sum": np.float64(state["weight_sum"]),
        "coefficients": state["coefficients"],
        "information": state["information"],
    }
    if state["score_gram"] is not None:
        arrays["score_gram"] = state["score_gram"]
    if state["feature_names"] is not None:
        arrays["feature_names"] = np.array(
            [str(name) for name in state["feature_names"]], dtype=np.str_
        )
    for field, dtype in HISTORY_FIELDS.items():
        arrays[f"history_{field}"] = np.array(
            [record[field] for record in state["history"]], dtype=dtype
        )
    np.savez(path, **arrays)


def load_state(path: str | os.PathLike[str] | IO[bytes]) -> dict[str, Any]:
    """Reads a file written by `save_state` back into a state dict.

    Raises ValueError for a file that is not an intact ``.npz`` archive (truncated, corrupted, a
    single ``.npy`` array), of another format version or with missing entries.
    """
    contents = _archive_contents(path)
    if "format_version" not in contents:
        raise ValueError("not a saved StreamingHuberRegressor: the file has no format_version")
    version = int(contents["format_version"])
    if version != FORMAT_VERSION:
        raise ValueError(
            f"unsupported file format version {version}; this quillfen reads version {FORMAT_VERSION}"
        )
    required = ["dtype", "n_features_in", "params", "scale", *ENGINE_KEYS]
    required += [f"history_{field}" for field in HISTORY_FIELDS]
    missing = [name for name in required if name not in contents]
    if missing:
        raise ValueError(f"the saved model is incomplete: missing {', '.join(missing)}")
    columns = [contents[f"history_{field}"] for field in HISTORY_FIELDS]
    if len({column.shape for column in columns}) != 1 or columns[0].ndim != 1:
        raise ValueError("the saved history columns have inconsistent shapes")
    history = [
        {field: column[i].item() for field, column in zip(HISTORY_FIELDS, columns, strict=False)}
        for i in range(columns[0].shape[0])
    ]
    state: dict[str, Any] = {key: contents[key] for key in ENGINE_KEYS}
    state.update(
        scale=float(contents["scale"]),
        score_gram=contents.get("score_gram"),
        history=history,
        dtype=str(contents["dtype"]),
        n_features_in=int(contents["n_features_in"]),
        feature_names=contents.get("feature_names"),
        params=_with_threads_clamped(json.loads(str(contents["params"]))),
    )
    return state


def _archive_contents(path: str | os.PathLike[str] | IO[bytes]) -> dict[str, Any]:
    """Every member of the ``.npz`` archive at `path`, as arrays; ValueError when it is none."""
    try:
        loaded = np.load(path, allow_pickle=False)
    except (zipfile.BadZipFile, EOFError) as error:
        raise ValueError(
            f"not a saved StreamingHuberRegressor: not an .npz archive ({error})"
        ) from None
    if not isinstance(loaded, np.lib.npyio.NpzFile):
        raise ValueError(
            "not a saved StreamingHuberRegressor: a single .npy array, not an .npz archive"
        )
    try:
        with loaded as saved:
            return {name: saved[name] for name in saved.files}
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as error:
        # A member cut short or altered (NotImplementedError: its compression method field): the
        # archive's directory was read, its data is damaged.
        raise ValueError(
            f"not a saved StreamingHuberRegressor: a damaged archive ({error})"
        ) from None


def _with_threads_clamped(params: Any) -> Any:
    """`params` with a file's `n_threads` held to the size of this process's shared pool (the
    processors it may use): a file, not its reader, would otherwise decide how many threads start
    (a 6 KB file could ask for thousands)."""
    count = params.get("n_threads") if isinstance(params, dict) else None
    if isinstance(count, int) and not isinstance(count, bool):
        params["n_threads"] = min(count, int(version()["parallel_threads"]))
    return params


def load(path: str | os.PathLike[str] | IO[bytes]) -> Any:
    """Load a model written by `StreamingHuberRegressor.save`.

    Parameters
    ----------
    path : str or path-like or file-like
        The ``.npz`` file.

    Returns
    -------
    StreamingHuberRegressor
        The fitted estimator, ready to predict and to take further batches.

    Raises
    ------
    ValueError
        When the file comes from an unknown format version or its parts do not fit together.
    """
    return estimator_from_state(load_state(path))


def _plain_number(value: Any) -> Any:
    """JSON for NumPy scalars given as parameters."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"parameter value {value!r} cannot be saved")


def _check_shape(name: str, array: np.ndarray[Any, Any], shape: tuple[int, ...]) -> None:
    if array.shape != shape:
        raise ValueError(f"the saved {name} has shape {array.shape}, expected {shape}")
