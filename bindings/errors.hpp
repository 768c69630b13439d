#pragma once

#include "bindings/python.hpp"
#include "common/native_error.hpp"

namespace quillfen::bindings {

// Raises the exception class of the error's kind with its display text as the single argument.
// An interrupted call keeps the exception its signal handler raised (KeyboardInterrupt if none).
void raise_native_error(const NativeError& error);

// Sets a ValueError with one of the surface's fixed messages; returns false for use in checks.
inline bool raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// Adds the note "while processing '<name>'" to the pending conversion failure, which keeps its
// class and message. A failure to add the note (an interpreter without notes) is discarded.
void argument_error(const char* name);

// The class of internal faults: derived directly from BaseException, so that an `except
// Exception` handler does not swallow a broken invariant. Created once per process.
PyObject* internal_fault_type();

// Turns the C++ exception being handled into the pending Python exception. Must be called from a
// catch block. std::bad_alloc becomes MemoryError; anything else an internal fault.
void set_exception_from_current_fault() noexcept;

// Runs one Python entry point's body and converts any escaping C++ exception at the boundary.
// `failed` is what the entry point returns with an exception set (nullptr or -1).
template <class Result, class Body>
Result guard_call(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_exception_from_current_fault();
    return failed;
  }
}

}  // namespace quillfen::bindings
