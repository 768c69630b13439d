#include "engine/update_driver.hpp"

namespace quillfen {

QUILLFEN_UPDATE_DRIVER(, float)
QUILLFEN_UPDATE_DRIVER(, double)

}  // namespace quillfen
