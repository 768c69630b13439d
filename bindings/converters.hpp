#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bindings/python.hpp"

namespace quillfen::bindings {

// Converters from Python arguments to machine values. On failure each returns nothing and leaves
// the converter's own exception pending, with the note naming the parameter attached.

// A str (subclasses included), as UTF-8. The view lives as long as the object.
std::optional<std::string_view> to_text(PyObject* value, const char* name);

// Python's bool or NumPy's boolean scalar; not an int, not even 0 or 1.
std::optional<bool> to_bool(PyObject* value, const char* name);

// A float, or anything the float protocol converts (int, __float__, __index__).
std::optional<double> to_f64(PyObject* value, const char* name);

// An int (bool included) or any object with __index__, within the target range.
std::optional<std::int64_t> to_i64(PyObject* value, const char* name);
std::optional<std::uint64_t> to_u64(PyObject* value, const char* name);

// A counter as a caller may state it: an int or __index__ object from the signed 64-bit minimum to
// the unsigned 64-bit maximum, so that any stored (unsigned) counter converts back, while a
// negative one can still be told apart and refused by the caller.
struct CounterValue {
  bool negative = false;
  std::uint64_t value = 0;  // meaningful only when not negative
};
std::optional<CounterValue> to_counter(PyObject* value, const char* name);

}  // namespace quillfen::bindings
