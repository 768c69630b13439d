import weakref

import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine

DTYPE_MESSAGE = "dtype must be exactly 'float32' or 'float64'"


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_engine_reports_its_configuration(dtype):
    engine = NativeCpuEngine(dtype, 3)
    assert engine.dtype == dtype
    assert engine.n_parameters == 3
    assert engine.has_dedicated_thread_pool is False
    assert engine.n_threads == NativeCpuEngine("float64", 1).n_threads >= 1


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("float64", 2), {}),
        (("float64", 2, None), {}),
        ((), {"dtype": "float64", "n_parameters": 2, "n_threads": None}),
        (("float64",), {"n_parameters": Indexable(2)}),
        (("float64", True), {}),  # bool is an int: one parameter
    ],
)
def test_accepted_argument_forms(args, kwargs):
    engine = NativeCpuEngine(*args, **kwargs)
    assert engine.has_dedicated_thread_pool is False
    assert engine.n_parameters == (1 if args[1:2] == (True,) else 2)


@pytest.mark.parametrize(
    "args, kwargs, error, message, note",
    [
        # Conversions come first, in parameter order, each naming its parameter.
        ((np.dtype("float64"), 2), {}, TypeError, None, "dtype"),
        ((b"float64", 2), {}, TypeError, None, "dtype"),
        (("float64", -1), {}, OverflowError, None, "n_parameters"),
        (("float64", 2**64), {}, OverflowError, None, "n_parameters"),
        (("float64", 2.0), {}, TypeError, None, "n_parameters"),
        (("float64", "2"), {}, TypeError, None, "n_parameters"),
        (("float64", 2, 2**63), {}, OverflowError, None, "n_threads"),
        (("float64", 2, -(2**63) - 1), {}, OverflowError, None, "n_threads"),
        (("float64", 2, 1.5), {}, TypeError, None, "n_threads"),
        (("float64", 2, "2"), {}, TypeError, None, "n_threads"),
        # A badly typed n_threads is reported even when dtype is also wrong.
        (("Float64", 2, "2"), {}, TypeError, None, "n_threads"),
        # Then the value checks, in order.
        (("Float64", 0), {}, ValueError, DTYPE_MESSAGE, None),
        (("float64 ", 2), {}, ValueError, DTYPE_MESSAGE, None),
        (("f8", 2), {}, ValueError, DTYPE_MESSAGE, None),
        (("double", 2), {}, ValueError, DTYPE_MESSAGE, None),
        (("float64", 0, 0), {}, ValueError, "n_parameters must be positive", None),
        (("float64", 2**32, 0), {}, ValueError, "n_parameters is too large", None),
        (("float64", 1, 0), {}, ValueError, "n_threads must be a positive integer", None),
        (("float64", 1, -3), {}, ValueError, "n_threads must be a positive integer", None),
        (("float64", 1, False), {}, ValueError, "n_threads must be a positive integer", None),
    ],
)
def test_constructor_conversion_and_check_order(args, kwargs, error, message, note):
    with pytest.raises(error) as raised:
        NativeCpuEngine(*args, **kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
        assert raised.value.args == (message,)
    notes = getattr(raised.value, "__notes__", [])
    assert notes == ([f"while processing '{note}'"] if note else [])


def test_conversion_error_raised_by_index_protocol_keeps_its_class():
    class Broken:
        def __index__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError) as raised:
        NativeCpuEngine("float64", Broken())
    assert raised.value.__notes__ == ["while processing 'n_parameters'"]


def test_str_subclass_is_accepted_as_dtype():
    class Text(str):
        pass

    assert NativeCpuEngine(Text("float32"), 1).dtype == "float32"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("float64",), {}),
        (("float64", 2), {"dtype": "float32"}),
        (("float64", 2), {"threads": 2}),
        (("float64", 2, None, 4), {}),
    ],
)
def test_binding_failures_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        NativeCpuEngine(*args, **kwargs)


@pytest.mark.parametrize("n_parameters", [100_000, 2**32 - 1])
def test_unsatisfiable_allocation_raises_memory_error(n_parameters):
    with pytest.raises(MemoryError):
        NativeCpuEngine("float64", n_parameters)
    assert NativeCpuEngine("float64", 3).n_parameters == 3


def test_class_surface():
    cls = NativeCpuEngine
    assert cls.__text_signature__ == "(dtype, n_parameters, n_threads=None)"
    assert cls.__doc__.startswith("Persistent CPU engine")
    assert cls.__init__ is object.__init__
    assert cls.__base__ is object
    assert cls.n_threads.__doc__ == "Effective number of worker threads available to this engine."
    assert cls.has_dedicated_thread_pool.__doc__ == (
        "Whether this engine owns a private thread pool instead of using global state."
    )
    assert cls.dtype.__doc__ is None and cls.n_parameters.__doc__ is None
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_instances_have_no_dict_weakrefs_or_writable_properties():
    engine = NativeCpuEngine("float32", 2)
    with pytest.raises(AttributeError):
        engine.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(engine)
    for name in ("dtype", "n_parameters", "n_threads", "has_dedicated_thread_pool"):
        with pytest.raises(AttributeError):
            setattr(engine, name, getattr(engine, name))
