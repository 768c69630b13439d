#include "kernels/gram/newton_system.hpp"

namespace quillfen {

QUILLFEN_GRAM_KERNELS(, float)
QUILLFEN_GRAM_KERNELS(, double)

}  // namespace quillfen
