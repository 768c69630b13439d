"""The native CPU engine, under the module path its class reports."""

from _quillfen_native_cpu import NativeCpuEngine, version

__all__ = ["NativeCpuEngine", "version"]
