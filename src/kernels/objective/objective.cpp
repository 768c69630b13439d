#include "kernels/objective/objective.hpp"

namespace quillfen {

QUILLFEN_OBJECTIVE_KERNELS(, float)
QUILLFEN_OBJECTIVE_KERNELS(, double)

}  // namespace quillfen
