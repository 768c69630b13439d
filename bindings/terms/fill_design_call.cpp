// fill_design: a batch's features copied into the engine's design layout, with the lock released.

#include <array>
#include <optional>

#include "bindings/arguments.hpp"
#include "bindings/arrays.hpp"
#include "bindings/converters.hpp"
#include "bindings/errors.hpp"
#include "bindings/terms/terms_calls.hpp"
#include "bindings/terms/worker_pool_type.hpp"
#include "engine/batch_terms.hpp"

namespace quillfen::bindings {
namespace {

constexpr std::array<const char*, 4> kFillParameters = {"source", "out", "intercept", "pool"};

// The source's strides in elements; false when a stride is not a whole number of elements.
template <class S>
bool element_strides(PyArrayObject* source, std::int64_t& rows, std::int64_t& columns) {
  const npy_intp* strides = PyArray_STRIDES(source);
  constexpr npy_intp size = sizeof(S);
  if (strides[0] % size != 0 || strides[1] % size != 0) return false;
  rows = strides[0] / size;
  columns = strides[1] / size;
  return true;
}

template <class S, class T>
PyObject* fill_typed(PyArrayObject* source, PyObject* out, bool intercept, WorkerPoolObject* pool) {
  const npy_intp rows = PyArray_DIM(source, 0);
  const npy_intp cols = PyArray_DIM(source, 1);
  auto* target = reinterpret_cast<PyArrayObject*>(out);
  if (PyArray_DIM(target, 0) != rows || PyArray_DIM(target, 1) != cols + (intercept ? 1 : 0)) {
    PyErr_SetString(PyExc_ValueError,
                    "out must have the source's rows and one column per "
                    "feature, plus one for the intercept");
    return nullptr;
  }
  if (!PyArray_ISWRITEABLE(target)) {
    PyErr_SetString(PyExc_ValueError, "out must be writeable");
    return nullptr;
  }
  std::int64_t row_stride = 0, column_stride = 0;
  if (!PyArray_ISALIGNED(source) || !element_strides<S>(source, row_stride, column_stride)) {
    PyErr_SetString(PyExc_ValueError, "source must be aligned");
    return nullptr;
  }
  if (rows == 0) return PyFloat_FromDouble(0.0);
  const S* data = static_cast<const S*>(PyArray_DATA(source));
  const std::span<T> elements(static_cast<T*>(PyArray_DATA(target)),
                              std::size_t(PyArray_SIZE(target)));
  const Expected<double> largest = run_unlocked(pool, [&]() -> Expected<double> {
    return fill_design<S, T>(data, row_stride, column_stride, std::uint64_t(rows),
                             std::uint64_t(cols), intercept, elements);
  });
  if (!largest) {
    raise_native_error(largest.error());
    return nullptr;
  }
  return PyFloat_FromDouble(largest.value());
}

template <class T>
PyObject* fill_into(PyObject* source, PyObject* out, bool intercept, WorkerPoolObject* pool) {
  auto* array = reinterpret_cast<PyArrayObject*>(source);
  if (has_engine_kind<float>(source, 2)) return fill_typed<float, T>(array, out, intercept, pool);
  if (has_engine_kind<double>(source, 2)) {
    return fill_typed<double, T>(array, out, intercept, pool);
  }
  PyErr_SetString(PyExc_TypeError, "source must be a 2-D float32 or float64 NumPy array");
  return nullptr;
}

PyObject* fill_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound{};
  const Signature signature{"fill_design", kFillParameters, 3};
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  if (!load_numpy_api()) return nullptr;
  const std::optional<bool> intercept = to_bool(bound[2], "intercept");
  if (!intercept) return nullptr;
  WorkerPoolObject* pool = nullptr;
  if (!pool_argument(bound[3], &pool)) return nullptr;
  PyObject* out = bound[1];
  if (has_engine_kind<float>(out, 2) && has_engine_layout(out)) {
    return fill_into<float>(bound[0], out, *intercept, pool);
  }
  if (has_engine_kind<double>(out, 2) && has_engine_layout(out)) {
    return fill_into<double>(bound[0], out, *intercept, pool);
  }
  PyErr_SetString(PyExc_TypeError, "out must be a C-contiguous 2-D float32 or float64 array");
  return nullptr;
}

}  // namespace

PyObject* fill_design_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_call<PyObject*>(nullptr, [&] { return fill_call(args, nargs, kwnames); });
}

}  // namespace quillfen::bindings
