#pragma once

#include "bindings/python.hpp"
#include "engine/records.hpp"

namespace quillfen::bindings {

// The state dictionary: fresh copies of both arrays, then the flag, counters and floats, in this
// order. RuntimeError "native information shape is invalid" when the information array does not
// hold n² elements. Returns a new dict, or nullptr with an exception set.
template <class T>
PyObject* state_dict(const EngineState<T>& state);

// The state dictionary of `state` followed by the update's diagnostics.
template <class T>
PyObject* update_result_dict(const EngineState<T>& state, const UpdateDiagnostics& diagnostics);

}  // namespace quillfen::bindings
