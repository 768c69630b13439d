#define QUILLFEN_NUMPY_API_OWNER
#include "bindings/numpy_api.hpp"

namespace quillfen::bindings {

bool load_numpy_api() {
  return PyArray_ImportNumPyAPI() == 0;
}

}  // namespace quillfen::bindings
