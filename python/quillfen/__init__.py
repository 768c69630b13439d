"""Robust (Huber) linear regression fitted incrementally over a stream of batches.

`StreamingHuberRegressor` is the scikit-learn estimator; `load` reads a saved one back and `merge`
combines estimators fitted on disjoint data. `NativeCpuEngine` is the low-level engine beneath them.
`RankDeficiencyWarning` says that the data do not identify some coefficients. Every name is
imported on first use, so that ``import quillfen`` stays cheap (no scikit-learn) and the command
line answers a Ctrl-C during its start-up itself.
"""

from importlib import import_module
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quillfen._covariance import RankDeficiencyWarning
    from quillfen._estimator import StreamingHuberRegressor, load
    from quillfen._merge import merge
    from quillfen._native_cpu import NativeCpuEngine, version

__version__: str

__all__ = [
    "NativeCpuEngine",
    "RankDeficiencyWarning",
    "StreamingHuberRegressor",
    "load",
    "merge",
    "version",
]

# Where each public name lives.
_HOMES = {
    "NativeCpuEngine": "quillfen._native_cpu",
    "version": "quillfen._native_cpu",
    "RankDeficiencyWarning": "quillfen._covariance",
    "StreamingHuberRegressor": "quillfen._estimator",
    "load": "quillfen._estimator",
    "merge": "quillfen._merge",
}


def __getattr__(name: str) -> Any:
    if name == "__version__":
        # The installed distribution's version: pyproject.toml is its one home.
        from importlib.metadata import version as distribution_version

        globals()[name] = value = distribution_version("quillfen")
        return value
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'quillfen' has no attribute {name!r}")
    value = getattr(import_module(home), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
