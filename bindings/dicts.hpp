#pragma once

#include "bindings/python.hpp"

namespace quillfen::bindings {

// Inserts `value` (a new reference, or nullptr after a failed creation) under `key` and drops the
// reference. False when the value could not be created or inserted; the exception is pending.
inline bool insert_new(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

// The same under a key object, for callers that keep their keys made (and interned) once.
inline bool insert_new(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

}  // namespace quillfen::bindings
