from typing import Literal, TypeAlias, TypedDict, final

import numpy as np
import numpy.typing as npt

_Array: TypeAlias = npt.NDArray[np.float32] | npt.NDArray[np.float64]

class VersionInfo(TypedDict):
    abi_version: int
    python_api_version: int
    engine_version: str
    linear_algebra_provider: str
    parallel_provider: str
    parallel_threads: int
    supports_engine_thread_pool: bool
    engine_thread_pool_default: str
    strict_dtypes: tuple[str, str]

class EngineStateDict(TypedDict):
    coefficients: _Array
    information: _Array
    state_is_detached: bool
    n_samples_seen: int
    batch_count: int
    previous_lambda: float
    weight_sum: float

class UpdateResult(EngineStateDict):
    iterations: int
    converged: bool
    objective: float
    lambda_value: float
    bandwidth: float
    used_regularized_fallback: bool

@final
class NativeCpuEngine:
    def __new__(
        cls,
        dtype: Literal["float32", "float64"],
        n_parameters: int,
        n_threads: int | None = None,
    ) -> NativeCpuEngine: ...
    @property
    def dtype(self) -> Literal["float32", "float64"]: ...
    @property
    def n_parameters(self) -> int: ...
    @property
    def n_threads(self) -> int:
        """Effective number of worker threads available to this engine."""
    @property
    def has_dedicated_thread_pool(self) -> bool:
        """Whether this engine owns a private thread pool instead of using global state."""
    def update(
        self,
        x_design: _Array,
        y: _Array,
        sample_weight: _Array | None,
        batch_weight: float,
        n_features_in: int,
        fit_intercept: bool | np.bool_,
        tau: float,
        penalty: Literal["none", "l1"],
        lambda_scale: float,
        bandwidth_scale: float,
        max_iter: int,
        tol: float,
        ridge: float,
    ) -> UpdateResult: ...
    def predict(self, x_design: _Array) -> _Array: ...
    def state(self) -> EngineStateDict: ...
    def restore(
        self,
        coefficients: _Array,
        information: _Array,
        n_samples_seen: int,
        batch_count: int,
        previous_lambda: float,
        weight_sum: float,
    ) -> None: ...

def version() -> VersionInfo: ...
