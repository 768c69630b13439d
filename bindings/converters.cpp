#include "bindings/converters.hpp"

#include "bindings/errors.hpp"

namespace quillfen::bindings {
namespace {

// NumPy's boolean scalar type. Looked up only once NumPy is in sys.modules: before that no value
// can be one of its scalars, and importing NumPy here would start its threads. Returns a
// borrowed reference kept for the process, or nullptr.
PyObject* numpy_bool_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  PyObject* name = PyUnicode_FromString("numpy");
  if (name == nullptr) return nullptr;
  PyObject* numpy = PyImport_GetModule(name);
  Py_DECREF(name);
  if (numpy == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* found = PyObject_GetAttrString(numpy, "bool_");
  Py_DECREF(numpy);
  if (found == nullptr || !PyType_Check(found)) {
    PyErr_Clear();
    Py_XDECREF(found);
    return nullptr;
  }
  type = found;
  return type;
}

template <class Value>
std::optional<Value> failed(const char* name) {
  argument_error(name);
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> to_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of 'str'",
                 Py_TYPE(value)->tp_name);
    return failed<std::string_view>(name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return failed<std::string_view>(name);
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<bool> to_bool(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  PyObject* numpy_bool = numpy_bool_type();
  if (numpy_bool != nullptr &&
      PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(numpy_bool))) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return failed<bool>(name);
    return truth == 1;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of 'bool'",
               Py_TYPE(value)->tp_name);
  return failed<bool>(name);
}

std::optional<double> to_f64(PyObject* value, const char* name) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) return failed<double>(name);
  return converted;
}

std::optional<std::int64_t> to_i64(PyObject* value, const char* name) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return failed<std::int64_t>(name);
  const long long converted = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (converted == -1 && PyErr_Occurred()) return failed<std::int64_t>(name);
  return static_cast<std::int64_t>(converted);
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* name) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return failed<std::uint64_t>(name);
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return failed<std::uint64_t>(name);
  }
  return static_cast<std::uint64_t>(converted);
}

std::optional<CounterValue> to_counter(PyObject* value, const char* name) {
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return failed<CounterValue>(name);
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (overflow == 0) {
    Py_DECREF(index);
    if (small == -1 && PyErr_Occurred()) return failed<CounterValue>(name);
    return CounterValue{small < 0, small < 0 ? 0 : static_cast<std::uint64_t>(small)};
  }
  if (overflow < 0) {
    Py_DECREF(index);
    PyErr_SetString(PyExc_OverflowError, "int too small to convert to a 64-bit counter");
    return failed<CounterValue>(name);
  }
  const unsigned long long large = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return failed<CounterValue>(name);
  }
  return CounterValue{false, static_cast<std::uint64_t>(large)};
}

}  // namespace quillfen::bindings
