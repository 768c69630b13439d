import gc

from _quillfen_native_cpu import NativeCpuEngine, version
from conftest import pool_thread_names, wait_until


def test_private_pool_threads_are_named_and_counted():
    assert wait_until(lambda: pool_thread_names() == [])  # earlier pools may still be winding down
    engine = NativeCpuEngine(dtype="float32", n_parameters=2, n_threads=2)
    assert engine.has_dedicated_thread_pool is True
    assert engine.n_threads == 2
    # The workers are running before the constructor returns.
    assert pool_thread_names() == ["quillfen-cpu-0", "quillfen-cpu-1"]
    # A private pool does not change what the calling thread sees.
    assert version()["parallel_threads"] == NativeCpuEngine("float64", 1).n_threads
    del engine
    gc.collect()
    assert wait_until(lambda: pool_thread_names() == [])


def test_n_threads_true_means_one_worker():
    engine = NativeCpuEngine("float64", 1, n_threads=True)
    assert engine.n_threads == 1
    assert pool_thread_names() == ["quillfen-cpu-0"]
    del engine
    assert wait_until(lambda: pool_thread_names() == [])


def test_two_engines_own_separate_pools():
    first = NativeCpuEngine("float64", 1, n_threads=1)
    second = NativeCpuEngine("float64", 1, n_threads=3)
    assert (first.n_threads, second.n_threads) == (1, 3)
    assert pool_thread_names() == sorted(
        ["quillfen-cpu-0"] * 2 + ["quillfen-cpu-1", "quillfen-cpu-2"]
    )
    del first, second
    assert wait_until(lambda: pool_thread_names() == [])


# A limit on the address space makes thread stacks unobtainable after a few dozen workers.
LIMITED_ADDRESS_SPACE = """
    import os, resource
    import _quillfen_native_cpu as native
    def threads():
        return len(os.listdir("/proc/self/task"))
    def vm_size():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 256 * 2**20, resource.RLIM_INFINITY))
"""


def test_failed_pool_creation_raises_and_leaves_no_thread(python_subprocess):
    result = python_subprocess(
        LIMITED_ADDRESS_SPACE
        + """
    before = threads()
    try:
        native.NativeCpuEngine("float64", 2, n_threads=5000)
    except RuntimeError as error:
        print(repr(str(error)))
    import time
    for _ in range(500):
        if threads() == before:
            break
        time.sleep(0.01)
    print(threads() - before)
    print(native.NativeCpuEngine("float64", 2).n_parameters)
    """
    )
    assert result.returncode == 0, result.stderr
    message, leftover, still_usable = result.stdout.splitlines()
    assert message.startswith("'failed to create the native CPU thread pool: ")
    assert len(message) > len("'failed to create the native CPU thread pool: '")
    assert leftover == "0"
    assert still_usable == "2"


def test_unusable_global_pool_is_an_internal_fault_not_an_exception(python_subprocess):
    result = python_subprocess(
        LIMITED_ADDRESS_SPACE
        + """
    try:
        native.version()
    except Exception as error:
        print("Exception", type(error))
    except BaseException as fault:
        print(type(fault).__name__, type(fault).__bases__ == (BaseException,), bool(str(fault)))
    """,
        {"RAYON_NUM_THREADS": "5000"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["NativeInternalError", "True", "True"]
