#pragma once

#include <cstddef>
#include <span>

#include "bindings/python.hpp"

namespace quillfen::bindings {

// A Python-visible parameter list: every parameter may be passed by position or keyword, the
// first `required` ones must be.
struct Signature {
  const char* function;  // as shown in messages, e.g. "update"
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a vectorcall-style argument list (METH_FASTCALL | METH_KEYWORDS). `bound` receives one
// borrowed reference per parameter, nullptr for an omitted optional one. On failure returns false
// with a TypeError set (missing, duplicate or unexpected argument).
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The same for a tuple and an optional dict, as received by a type's __new__.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);

}  // namespace quillfen::bindings
