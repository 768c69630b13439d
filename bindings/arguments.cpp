#include "bindings/arguments.hpp"

#include <algorithm>

namespace quillfen::bindings {
namespace {

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  const auto count = static_cast<std::size_t>(nargs);
  if (count > signature.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)",
                 signature.function, signature.names.size(), nargs);
    return false;
  }
  std::copy(args, args + count, bound.begin());
  return true;
}

// Binds `value` to the parameter named `key`. The names are compared from `hint` on, wrapping
// around: callers mostly pass keywords in signature order, so the first comparison usually
// matches. On success `hint` moves to the parameter after the bound one.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> bound, std::size_t& hint) {
  const std::size_t count = signature.names.size();
  for (std::size_t step = 0; step < count && PyUnicode_Check(key); ++step) {
    const std::size_t i = (hint + step) % count;
    if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, signature.names[i]);
      return false;
    }
    bound[i] = value;
    hint = i + 1;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function,
               key);
  return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   signature.function, signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(signature, args, nargs, bound)) return false;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  std::size_t hint = static_cast<std::size_t>(nargs);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound, hint)) {
      return false;
    }
  }
  return check_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
  PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
  if (!bind_positional(signature, items, PyTuple_GET_SIZE(args), bound)) return false;
  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    std::size_t hint = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound, hint)) return false;
    }
  }
  return check_required(signature, bound);
}

}  // namespace quillfen::bindings
