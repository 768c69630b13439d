#include "kernels/vector/vector_kernels.hpp"

namespace quillfen {

QUILLFEN_VECTOR_KERNELS(, float)
QUILLFEN_VECTOR_KERNELS(, double)

}  // namespace quillfen
