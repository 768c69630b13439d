#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <type_traits>

#include "bindings/numpy_api.hpp"
#include "common/aligned_vector.hpp"

namespace quillfen::bindings {

template <class T>
constexpr int numpy_type_number = std::is_same_v<T, float> ? NPY_FLOAT32 : NPY_FLOAT64;

// Array arguments are lent to the engine as they are: nothing is converted or copied to make one
// fit. NumPy's API must be loaded (load_numpy_api) before any of these is used.

// An ndarray (or subclass) with exactly `ndim` dimensions whose element type is T in native byte
// order.
template <class T>
bool has_engine_kind(PyObject* value, int ndim) {
  if (!PyArray_Check(value)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_NDIM(array) != ndim) return false;
  PyArray_Descr* expected = PyArray_DescrFromType(numpy_type_number<T>);
  if (expected == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), expected);
  Py_DECREF(expected);
  return equivalent;
}

// Readable in place as one row-major buffer: aligned, C-contiguous, with a data pointer. An array
// without elements passes whatever its flags, as an empty buffer. Only for arrays of engine kind.
bool has_engine_layout(PyObject* array);

// The checks as callers make them: false with the TypeError (kind) or ValueError (layout) set,
// naming the parameter.
void raise_kind_error(const char* name);
void raise_layout_error(const char* name);

template <class T>
bool require_engine_kind(PyObject* value, int ndim, const char* name) {
  if (has_engine_kind<T>(value, ndim)) return true;
  raise_kind_error(name);
  return false;
}

inline bool require_engine_layout(PyObject* array, const char* name) {
  if (has_engine_layout(array)) return true;
  raise_layout_error(name);
  return false;
}

inline npy_intp dimension(PyObject* array, int axis) {
  return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), axis);
}

// The elements of an array that passed both checks, in memory order.
template <class T>
std::span<const T> array_elements(PyObject* value) {
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
  if (count == 0) return {};
  return {static_cast<const T*>(PyArray_DATA(array)), count};
}

// A new writeable, aligned, C-contiguous array over `buffer` with the given shape, which must
// hold exactly buffer.size() elements. The buffer moves into a holder object set as the array's
// base, which frees it when the array and every view of it are gone. Returns nullptr with an
// exception set on failure (MemoryError when memory runs out; the buffer is then freed).
template <class T>
PyObject* wrap_buffer(AlignedVector<T> buffer, std::span<const npy_intp> shape) noexcept;

// wrap_buffer over a fresh copy of `values`.
template <class T>
PyObject* copy_to_array(std::span<const T> values, std::span<const npy_intp> shape) noexcept {
  try {
    return wrap_buffer<T>(AlignedVector<T>(values.begin(), values.end()), shape);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace quillfen::bindings
