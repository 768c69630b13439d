#include "bindings/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

namespace quillfen::bindings {

void raise_native_error(const NativeError& error) {
  if (error.kind == ErrorKind::Interrupted) {
    // The signal handler's own exception is already pending; keep it.
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  PyObject* type = is_input_error(error.kind) ? PyExc_ValueError : PyExc_RuntimeError;
  PyErr_SetString(type, display(error).c_str());
}

namespace {

// Takes the pending exception as a normalised object (new reference), or nullptr when none.
PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyObject* traceback = PyException_GetTraceback(exception);
  PyErr_Restore(type, exception, traceback);
#endif
}

}  // namespace

void argument_error(const char* name) {
  PyObject* exception = fetch_exception();
  if (exception == nullptr) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
  PyObject* result =
      note != nullptr ? PyObject_CallMethod(exception, "add_note", "O", note) : nullptr;
  if (result == nullptr) PyErr_Clear();
  Py_XDECREF(result);
  Py_XDECREF(note);
  restore_exception(exception);
}

PyObject* internal_fault_type() {
  // Lives for the whole process, like the engine type: re-imports reuse it. Created under the
  // interpreter lock, so no further synchronisation is needed.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_quillfen_native_cpu.NativeInternalError",
        "A broken internal invariant of the native engine. Derived from BaseException so that "
        "generic exception handlers do not hide it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_exception_from_current_fault() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& fault) {
      const char* text = fault.what();
      PyObject* type = internal_fault_type();
      if (type == nullptr) return;  // its creation failure is the pending exception
      PyErr_SetString(type, text != nullptr && *text != '\0' ? text : "internal fault");
    } catch (...) {
      PyObject* type = internal_fault_type();
      if (type != nullptr) PyErr_SetString(type, "internal fault");
    }
  } catch (...) {
    // A fault while reporting a fault leaves no consistent way back into the interpreter.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

}  // namespace quillfen::bindings
