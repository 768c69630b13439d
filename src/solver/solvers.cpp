#include "solver/solvers.hpp"

namespace quillfen {

QUILLFEN_SOLVERS(, float)
QUILLFEN_SOLVERS(, double)

}  // namespace quillfen
