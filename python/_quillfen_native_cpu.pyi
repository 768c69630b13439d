from typing import Literal, TypedDict, final

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

def version() -> VersionInfo: ...
