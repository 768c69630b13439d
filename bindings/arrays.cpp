#include "bindings/arrays.hpp"

#include <memory>

namespace quillfen::bindings {
namespace {

constexpr const char kHolderName[] = "quillfen._native_cpu.buffer";

template <class T>
void free_held_buffer(PyObject* holder) {
  std::unique_ptr<AlignedVector<T>> owned(
      static_cast<AlignedVector<T>*>(PyCapsule_GetPointer(holder, kHolderName)));
}

// A capsule owning `buffer`, or nullptr with an exception set.
template <class T>
PyObject* new_holder(AlignedVector<T>& buffer) noexcept {
  try {
    // An empty vector has no address; NumPy would then allocate a buffer of its own.
    if (buffer.capacity() == 0) buffer.reserve(1);
    auto owned = std::make_unique<AlignedVector<T>>(std::move(buffer));
    PyObject* holder = PyCapsule_New(owned.get(), kHolderName, free_held_buffer<T>);
    if (holder != nullptr) owned.release();  // the holder owns it now
    return holder;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

template <class T>
T* held_data(PyObject* holder) {
  return static_cast<AlignedVector<T>*>(PyCapsule_GetPointer(holder, kHolderName))->data();
}

}  // namespace

bool has_engine_layout(PyObject* value) {
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_SIZE(array) == 0) return true;
  return PyArray_ISALIGNED(array) && PyArray_IS_C_CONTIGUOUS(array) &&
         PyArray_DATA(array) != nullptr;
}

void raise_kind_error(const char* name) {
  PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous NumPy array with the engine dtype",
               name);
}

void raise_layout_error(const char* name) {
  PyErr_Format(PyExc_ValueError, "%s must be C-contiguous; copy explicitly before native CPU use",
               name);
}

template <class T>
PyObject* wrap_buffer(AlignedVector<T> buffer, std::span<const npy_intp> shape) noexcept {
  PyObject* holder = new_holder(buffer);
  if (holder == nullptr) return nullptr;
  T* data = held_data<T>(holder);

  PyArray_Descr* descriptor = PyArray_DescrFromType(numpy_type_number<T>);
  if (descriptor == nullptr) {
    Py_DECREF(holder);
    return nullptr;
  }
  // Steals the descriptor; strides follow from the C-contiguous flag.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descriptor, static_cast<int>(shape.size()),
                                         const_cast<npy_intp*>(shape.data()), nullptr, data,
                                         NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    Py_DECREF(holder);
    return nullptr;
  }
  // Steals the holder, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

template PyObject* wrap_buffer<float>(AlignedVector<float>, std::span<const npy_intp>) noexcept;
template PyObject* wrap_buffer<double>(AlignedVector<double>, std::span<const npy_intp>) noexcept;

}  // namespace quillfen::bindings
