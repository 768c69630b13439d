// The direction solve for float alone: its decompositions are the slowest code of the core to
// compile, and the two element types build in parallel.
#include "solver/decompositions.hpp"

namespace quillfen {

template Expected<bool> solve_direction<float>(std::span<const float>, std::span<const float>,
                                               std::size_t, std::span<float>);

}  // namespace quillfen
