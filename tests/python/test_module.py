import importlib
import os
import sys

import _quillfen_native_cpu as native
import pytest

import quillfen
from quillfen import _native_cpu

VERSION_ENTRIES = [
    ("abi_version", 1),
    ("python_api_version", 2),
    ("engine_version", "0.7.1"),
    ("linear_algebra_provider", "eigen"),
    ("parallel_provider", "quillfen-threads"),
    ("parallel_threads", None),  # live value, checked separately
    ("supports_engine_thread_pool", True),
    ("engine_thread_pool_default", "global"),
    ("strict_dtypes", ("float32", "float64")),
]


def test_version_keys_values_and_types():
    info = native.version()
    assert list(info) == [key for key, _ in VERSION_ENTRIES]
    for key, expected in VERSION_ENTRIES:
        if expected is not None:
            assert info[key] == expected
            assert type(info[key]) is type(expected), key
    assert info["supports_engine_thread_pool"] is True
    assert type(info["parallel_threads"]) is int and info["parallel_threads"] >= 1


def test_version_returns_a_new_dict_each_call():
    first, second = native.version(), native.version()
    assert first is not second
    assert first == second


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_version_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        native.version(*args, **kwargs)


def test_function_and_module_metadata():
    assert native.version.__text_signature__ == "()"
    assert native.version.__doc__ is None
    assert native.version.__module__ == "_quillfen_native_cpu"
    assert native.version.__self__ is native
    assert native.__doc__ == ""


def test_public_names_are_exactly_the_engine_and_version():
    public = {name for name in dir(native) if not name.startswith("_")}
    assert public == {"NativeCpuEngine", "version"}


def test_package_reexports_the_native_class():
    assert quillfen.NativeCpuEngine is native.NativeCpuEngine
    assert _native_cpu.NativeCpuEngine is native.NativeCpuEngine
    assert _native_cpu.version is native.version
    assert native.NativeCpuEngine.__module__ == "quillfen._native_cpu"
    assert native.NativeCpuEngine.__name__ == "NativeCpuEngine"


def test_reimport_reuses_the_type_object():
    original_type = native.NativeCpuEngine
    saved = sys.modules.pop("_quillfen_native_cpu")
    try:
        fresh = importlib.import_module("_quillfen_native_cpu")
        assert fresh is not saved
        assert fresh.NativeCpuEngine is original_type
        assert fresh.version()["engine_version"] == "0.7.1"
        assert fresh.NativeCpuEngine("float64", 2).n_parameters == 2
    finally:
        sys.modules["_quillfen_native_cpu"] = saved


def test_import_starts_no_thread_and_first_version_call_creates_the_pool(python_subprocess):
    result = python_subprocess(
        """
        import os
        before = len(os.listdir("/proc/self/task"))
        import _quillfen_native_cpu as native
        after_import = len(os.listdir("/proc/self/task"))
        threads = native.version()["parallel_threads"]
        after_version = len(os.listdir("/proc/self/task"))
        print(before, after_import, threads, after_version)
        """,
        {"RAYON_NUM_THREADS": "3"},
    )
    assert result.returncode == 0, result.stderr
    before, after_import, threads, after_version = map(int, result.stdout.split())
    assert after_import == before
    assert threads == 3
    assert after_version == before + 3


@pytest.mark.parametrize("setting", ["0", "-2", "many", ""])
def test_global_pool_falls_back_to_available_processors(python_subprocess, setting):
    result = python_subprocess(
        "import _quillfen_native_cpu as n; print(n.version()['parallel_threads'])",
        {"RAYON_NUM_THREADS": setting},
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == len(os.sched_getaffinity(0))


def test_global_pool_size_follows_cpu_affinity(python_subprocess):
    result = python_subprocess(
        """
        import os
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        import _quillfen_native_cpu as n
        print(n.version()['parallel_threads'], n.NativeCpuEngine('float64', 1).n_threads)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "1"]
