#pragma once

#include "bindings/python.hpp"
#include "engine/access_flag.hpp"
#include "engine/typed_engine.hpp"

namespace quillfen::bindings {

// Memory layout of a NativeCpuEngine instance. The C++ members are constructed in place after
// the interpreter allocates the object and destroyed in its deallocation.
// clang-format off
struct EngineObject {
  PyObject_HEAD
  EngineVariant engine;
  AccessFlag access;
};
// clang-format on

inline EngineObject* as_engine(PyObject* self) {
  return reinterpret_cast<EngineObject*>(self);
}

}  // namespace quillfen::bindings
