#include "engine/prediction.hpp"

namespace quillfen {

QUILLFEN_PREDICTION(, float)
QUILLFEN_PREDICTION(, double)

}  // namespace quillfen
