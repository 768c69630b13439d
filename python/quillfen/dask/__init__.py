"""Fitting StreamingHuberRegressor on a Dask cluster, with the data staying where it is.

Needs the ``dask`` extra: ``pip install quillfen[dask]``.
"""

try:
    import dask  # noqa: F401
    import distributed  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quillfen.dask needs Dask and dask.distributed; install the 'dask' extra: "
        "pip install 'quillfen[dask]'"
    ) from exc

from quillfen.dask._fit import fit

__all__ = ["fit"]
