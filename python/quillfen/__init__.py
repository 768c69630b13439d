"""Incremental robust (Huber) linear regression over streamed NumPy batches."""

from quillfen._native_cpu import NativeCpuEngine, version

__all__ = ["NativeCpuEngine", "version"]
