"""A fitted stream's state as plain arrays and numbers: for pickling, files and merging.

`state_arrays` and `state_from_arrays` turn a `StreamState` into a dict with the keys of
`STATE_KEYS` and back: the engine's summary (`coefficients`, `information`, `n_samples_seen`,
`batch_count`, `previous_lambda`, `weight_sum`), the layer's own (`scale`, `score_gram` or None,
`history`, a `BatchHistory` or a list of per-batch dicts), what the first batch fixed (`dtype`,
`n_features_in`, `feature_names` or None) and the parameters (`params`). Pickling, `save`,
`quillfen.load`, `quillfen.merge` and the distributed layer all go this way. Files hold the same
content as one ``.npz`` with no pickled object in it. Nothing here imports scikit-learn.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import stat
import zipfile
import zlib
from collections.abc import Iterator, Mapping
from typing import IO, Any, NamedTuple

import numpy as np

from quillfen._design import engine_array
from quillfen._history import HISTORY_FIELDS, BatchHistory, history_column
from quillfen._native_cpu import version
from quillfen._state import StreamState

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
# The members of a file (each "<name>.npy" in the archive) and the dtype kinds each may hold.
SCALAR_KINDS = {
    "dtype": "U",
    "n_features_in": "iu",
    "params": "U",
    "scale": "f",
    "n_samples_seen": "iu",
    "batch_count": "iu",
    "previous_lambda": "f",
    "weight_sum": "f",
}
HISTORY_KINDS = {
    f"history_{field}": {np.int64: "iu", np.bool_: "b", np.float64: "f"}[dtype]
    for field, dtype in HISTORY_FIELDS.items()
}
REQUIRED_MEMBERS = (*SCALAR_KINDS, "coefficients", "information", *HISTORY_KINDS)
MEMBER_KINDS = {
    "format_version": "iu",
    **SCALAR_KINDS,
    "coefficients": "f",
    "information": "f",
    "score_gram": "f",
    "feature_names": "U",
    **HISTORY_KINDS,
}
KIND_NAMES = {"iu": "integers", "f": "floating-point numbers", "U": "text", "b": "booleans"}
NPY_MAGIC = b"\x93NUMPY"


def state_arrays(state: StreamState, params: Mapping[str, Any]) -> dict[str, Any]:
    """`state` as a dict with the keys of `STATE_KEYS`, sharing no array with it; `params` (the
    estimator's parameters, or at least the state's settings) go in as "params"."""
    state_dict: dict[str, Any] = dict(
        zip(ENGINE_KEYS, (_copied(value) for value in state.engine_summary()), strict=True)
    )
    state_dict.update(
        scale=state.scale,
        score_gram=_copied(state.score_gram),
        history=BatchHistory.concatenate([state.history]),
        dtype=state.dtype,
        n_features_in=state.n_features_in,
        feature_names=_copied(state.feature_names),
        params=dict(params),
    )
    return state_dict


def state_from_arrays(arrays: Mapping[str, Any], settings: Mapping[str, Any]) -> StreamState:
    """The state that `state_arrays` (or `load_state`) gave `arrays` for, fitted with `settings`
    (the parameters the summary depends on, already checked); it shares no array with `arrays`.

    Raises ValueError when the parts do not fit together.
    """
    n_features = int(arrays["n_features_in"])
    n_parameters = n_features + int(bool(settings["fit_intercept"]))
    dtype = str(arrays["dtype"])
    if dtype not in ("float32", "float64"):
        raise ValueError(f"unknown element type {dtype!r} in the saved state")
    coefficients = engine_array(arrays["coefficients"], dtype).copy()
    information = engine_array(arrays["information"], dtype).copy()
    _check_shape("coefficients", coefficients.shape, (n_parameters,))
    _check_shape("information", information.shape, (n_parameters, n_parameters))
    gram = arrays["score_gram"]
    if gram is not None:
        gram = np.array(gram, dtype=np.float64)
        _check_shape("score_gram", gram.shape, (n_parameters, n_parameters))
    names = arrays["feature_names"]
    if names is not None:
        names = np.array(names, dtype=object)
        _check_shape("feature_names", names.shape, (n_features,))
    history = BatchHistory.concatenate([arrays["history"]])  # a copy, from a list or a history
    if len(history) != int(arrays["batch_count"]):
        raise ValueError("the saved history does not have one record per batch")
    scale = float(arrays["scale"])
    if not (np.isfinite(scale) and scale > 0):
        raise ValueError("the saved scale must be a positive number")
    return StreamState(
        dtype=dtype,  # type: ignore[arg-type]  # checked above
        n_features_in=n_features,
        feature_names=names,
        settings=dict(settings),
        scale=scale,
        coefficients=coefficients,
        information=information,
        n_samples_seen=int(arrays["n_samples_seen"]),
        batch_count=int(arrays["batch_count"]),
        previous_lambda=float(arrays["previous_lambda"]),
        weight_sum=float(arrays["weight_sum"]),
        score_gram=gram,
        history=history,
    )


def save(
    state: StreamState, params: Mapping[str, Any], path: str | os.PathLike[str] | IO[bytes]
) -> None:
    """Writes `state`, fitted with the parameters `params`, to one ``.npz`` file at `path`."""
    save_state(state_arrays(state, params), path)


def _copied(value: Any) -> Any:
    return value.copy() if isinstance(value, np.ndarray) else value


def save_state(state: dict[str, Any], path: str | os.PathLike[str] | IO[bytes]) -> None:
    """Writes a state to one ``.npz`` file, at `path` exactly (no suffix added): arrays, numbers
    and JSON text only, never pickles."""
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
    for field in HISTORY_FIELDS:
        arrays[f"history_{field}"] = history_column(state["history"], field)
    if isinstance(path, str | os.PathLike):
        # Opened here: given a name, np.savez would add ".npz" to it and `load(path)` then fail.
        with open(path, "wb") as file:
            np.savez(file, **arrays)
    else:
        np.savez(path, **arrays)


def load_state(path: str | os.PathLike[str] | IO[bytes]) -> dict[str, Any]:
    """Reads a file written by `save_state` back into a state dict.

    Every member's type, shape and size is checked from its header before any data is read, and
    members this format does not have are never read. Raises ValueError for anything else than a
    regular file or an open binary file, for a file that is not an intact ``.npz`` archive
    (truncated, corrupted, a single ``.npy`` array), of another format version, with missing
    entries, or with values that cannot be a fitted model's (wrong types or shapes, non-finite or
    asymmetric matrices, negative counters, parameters that are not a JSON object of plain values).
    """
    with _opened_archive(path) as archive:
        headers = _member_headers(archive)
        if "format_version" not in headers:
            raise ValueError("not a saved StreamingHuberRegressor: the file has no format_version")
        _check_shape("format_version", headers["format_version"].shape, ())
        version = int(_read(archive, headers["format_version"]))
        if version != FORMAT_VERSION:
            raise ValueError(
                f"unsupported file format version {version};"
                f" this quillfen reads version {FORMAT_VERSION}"
            )
        missing = [name for name in REQUIRED_MEMBERS if name not in headers]
        if missing:
            raise ValueError(f"the saved model is incomplete: missing {', '.join(missing)}")
        for name in SCALAR_KINDS:
            _check_shape(name, headers[name].shape, ())
        scalars = {name: _read(archive, headers[name]).item() for name in SCALAR_KINDS}
        _check_scalars(scalars)
        _check_array_shapes(headers, scalars)
        arrays = {
            name: _read(archive, header)
            for name, header in headers.items()
            if name not in SCALAR_KINDS and name != "format_version"
        }
    _check_arrays(arrays)
    history = BatchHistory.from_columns(
        {field: arrays[f"history_{field}"] for field in HISTORY_FIELDS}, copy=False
    )
    for field in ("rows", "iterations"):
        if (history.column(field) < 0).any():
            raise ValueError(f"the saved history_{field} has negative values")
    state: dict[str, Any] = {key: scalars.get(key, arrays.get(key)) for key in ENGINE_KEYS}
    state.update(
        scale=scalars["scale"],
        score_gram=arrays.get("score_gram"),
        history=history,
        dtype=scalars["dtype"],
        n_features_in=scalars["n_features_in"],
        feature_names=arrays.get("feature_names"),
        params=_with_threads_clamped(_parsed_params(scalars["params"])),
    )
    return state


class _Header(NamedTuple):
    """What a member's ``.npy`` header declares, and the member it belongs to."""

    info: zipfile.ZipInfo
    dtype: np.dtype[Any]
    shape: tuple[int, ...]


@contextlib.contextmanager
def _opened_archive(path: str | os.PathLike[str] | IO[bytes]) -> Iterator[zipfile.ZipFile]:
    """The ``.npz`` archive at `path` (a path or an open binary file), open for reading."""
    with contextlib.ExitStack() as stack:
        file = (
            stack.enter_context(_opened_regular_file(path))
            if isinstance(path, str | os.PathLike)
            else path
        )
        start = file.tell()
        looks_like_npy = file.read(len(NPY_MAGIC)) == NPY_MAGIC
        file.seek(start)
        if looks_like_npy:
            raise ValueError(
                "not a saved StreamingHuberRegressor: a single .npy array, not an .npz archive"
            )
        try:
            archive = stack.enter_context(zipfile.ZipFile(file))
        except (zipfile.BadZipFile, EOFError) as error:
            raise ValueError(
                f"not a saved StreamingHuberRegressor: not an .npz archive ({error})"
            ) from None
        yield archive


def _opened_regular_file(path: str | os.PathLike[str]) -> IO[bytes]:
    """`path` opened for reading, refused with ValueError unless it is a regular file.

    Opened without blocking and then tested, so that a FIFO (whose plain open waits for a writer
    forever) or a path swapped between a test and the open cannot slip through.
    """
    descriptor = os.open(
        path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    )
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise ValueError(
                f"not a saved StreamingHuberRegressor: {os.fspath(path)} is not a regular file"
            )
        return open(descriptor, "rb")  # closed by the caller
    except BaseException:
        os.close(descriptor)
        raise


def _member_headers(archive: zipfile.ZipFile) -> dict[str, _Header]:
    """The header of every member this format has, checked for type and declared size; other
    members are skipped unread (a large one would cost its decompression for nothing)."""
    headers: dict[str, _Header] = {}
    for info in archive.infolist():
        name = info.filename.removesuffix(".npy")
        if name not in MEMBER_KINDS or not info.filename.endswith(".npy"):
            continue
        with _damage_reported(), archive.open(info) as member:
            version = np.lib.format.read_magic(member)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(member)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(member)
            else:
                raise ValueError(f"{info.filename} has .npy format version {version}")
            header_size = member.tell()
        kinds = MEMBER_KINDS[name]
        if dtype.kind not in kinds or dtype.hasobject:
            raise ValueError(f"the saved {name} holds {dtype}, expected {KIND_NAMES[kinds]}")
        if any(length < 0 for length in shape):
            raise ValueError(f"the saved {name} has shape {shape}")
        # A compressed member could unpack to far more than its header says: refused unread.
        declared = header_size + math.prod(shape) * dtype.itemsize
        if info.file_size != declared:
            raise ValueError(
                f"the saved {name} is {info.file_size} bytes long, its header says {declared}"
            )
        headers[name] = _Header(info, dtype, shape)
    return headers


def _read(archive: zipfile.ZipFile, header: _Header) -> np.ndarray[Any, Any]:
    """The array of a member whose header `_member_headers` has checked."""
    with _damage_reported(), archive.open(header.info) as member:
        array: np.ndarray[Any, Any] = np.lib.format.read_array(member, allow_pickle=False)
    return array


@contextlib.contextmanager
def _damage_reported() -> Iterator[None]:
    """Errors of reading a member (cut short, altered, an unknown compression or encryption) as
    the ValueError of a damaged archive."""
    try:
        yield
    except (
        zipfile.BadZipFile,
        zlib.error,
        EOFError,
        NotImplementedError,
        RuntimeError,
        ValueError,
        SyntaxError,
    ) as error:
        raise ValueError(
            f"not a saved StreamingHuberRegressor: a damaged archive ({error})"
        ) from None


def _check_scalars(scalars: dict[str, Any]) -> None:
    """The single numbers: a positive feature count and counters that fit the engine's (the
    array shapes are checked against them), finite numbers, a known element type."""
    if scalars["n_features_in"] < 1:
        raise ValueError(f"the saved n_features_in is {scalars['n_features_in']}, expected >= 1")
    for name in ("n_samples_seen", "batch_count"):
        if not 0 <= scalars[name] < 2**63:
            raise ValueError(f"the saved {name} is {scalars[name]}, expected a count >= 0")
    for name in ("scale", "previous_lambda", "weight_sum"):
        if not math.isfinite(scalars[name]):
            raise ValueError(f"the saved {name} is {scalars[name]}, expected a finite number")
    if scalars["dtype"] not in ("float32", "float64"):
        raise ValueError(f"unknown element type {scalars['dtype']!r} in the saved state")


def _check_array_shapes(headers: dict[str, _Header], scalars: dict[str, Any]) -> None:
    """Every array member's declared shape against the counts, and the engine's arrays' type
    against the saved element type; before any of their data is read."""
    n_features = scalars["n_features_in"]
    coefficients = headers["coefficients"].shape
    if coefficients not in ((n_features,), (n_features + 1,)):
        raise ValueError(
            f"the saved coefficients has shape {coefficients},"
            f" expected ({n_features},) or ({n_features + 1},)"
        )
    n_parameters = coefficients[0]
    _check_shape("information", headers["information"].shape, (n_parameters, n_parameters))
    if "score_gram" in headers:
        _check_shape("score_gram", headers["score_gram"].shape, (n_parameters, n_parameters))
    if "feature_names" in headers:
        _check_shape("feature_names", headers["feature_names"].shape, (n_features,))
    for field in HISTORY_FIELDS:
        shape = headers[f"history_{field}"].shape
        if shape != (scalars["batch_count"],):
            raise ValueError(
                f"the saved history columns have inconsistent shapes: history_{field} has shape"
                f" {shape}, expected ({scalars['batch_count']},), one entry per batch"
            )
    itemsize = np.dtype(scalars["dtype"]).itemsize
    for name in ("coefficients", "information"):
        if headers[name].dtype.itemsize != itemsize:
            raise ValueError(
                f"the saved {name} holds {headers[name].dtype}, expected {scalars['dtype']}"
            )


def _check_arrays(arrays: dict[str, np.ndarray[Any, Any]]) -> None:
    """The matrices no fit produces: non-finite or asymmetric ones."""
    for name in ("coefficients", "information", "score_gram"):
        if name in arrays and not np.isfinite(arrays[name]).all():
            raise ValueError(f"the saved {name} has non-finite values")
    for name in ("information", "score_gram"):
        # Sums of x x' terms, symmetric up to the rounding of their order of summation (the
        # engine's are a few units of the last place apart): sqrt(eps) of the largest is lenient
        # with any such rounding and refuses any matrix that is not symmetric.
        if name in arrays:
            matrix = arrays[name]
            tolerance = np.sqrt(np.finfo(matrix.dtype).eps) * np.abs(matrix).max(initial=0.0)
            if np.abs(matrix - matrix.T).max(initial=0.0) > tolerance:
                raise ValueError(f"the saved {name} is not symmetric")


def _parsed_params(text: str) -> dict[str, Any]:
    """The constructor parameters from their JSON text: an object of plain values, else
    ValueError (also for JSON nested deeper than the parser's recursion allows)."""
    try:
        params = json.loads(text)
    except (ValueError, RecursionError) as error:
        raise ValueError(f"the saved parameters are not valid JSON ({error})") from None
    if not isinstance(params, dict) or not all(
        value is None or isinstance(value, bool | int | float | str) for value in params.values()
    ):
        raise ValueError("the saved parameters are not a JSON object of plain values")
    return params


def _with_threads_clamped(params: Any) -> Any:
    """`params` with a file's `n_threads` held to the size of this process's shared pool (the
    processors it may use): a file, not its reader, would otherwise decide how many threads start
    (a 6 KB file could ask for thousands)."""
    count = params.get("n_threads") if isinstance(params, dict) else None
    if isinstance(count, int) and not isinstance(count, bool):
        params["n_threads"] = min(count, int(version()["parallel_threads"]))
    return params


def _plain_number(value: Any) -> Any:
    """JSON for NumPy scalars given as parameters."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"parameter value {value!r} cannot be saved")


def _check_shape(name: str, actual: tuple[int, ...], shape: tuple[int, ...]) -> None:
    if actual != shape:
        raise ValueError(f"the saved {name} has shape {actual}, expected {shape}")
